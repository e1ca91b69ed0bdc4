// Where the page writes the pages its Worker lends it: into the cart itself
// (in place), or into a copy in a folder the user chooses. Each is written
// through createWritable(), which writes to a file of the browser's own and
// replaces the target only at close(): a run that stops, or a closed tab,
// leaves the target as it was. Every write is given exactly its bytes.

const writeRuns = async (writable, runs, buffer) => {
  for (const { offset, at, size } of runs) {
    await writable.write({ type: "write", position: offset, data: exactBytes(new Uint8Array(buffer, at, size)) });
  }
};

// The cart itself, opened for writing only at the first changed page: a
// cart that needs nothing is never written, and the browser never asks.
function inPlaceTarget(handle, name) {
  let writable = null;
  return {
    inPlace: true,
    get opened() {
      return writable !== null;
    },
    async write(runs, buffer) {
      if (!writable) {
        setState("asking", `Waiting for the browser's permission to change ${name}…`);
        writable = await handle.createWritable({ keepExistingData: true, mode: "exclusive" })
          .catch((error) => { throw new Stop(refusal(error)); });
        setState("running", "");
      }
      await writeRuns(writable, runs, buffer).catch((error) => { throw new Stop(refusal(error)); });
    },
    // The cart replaced, whole; a file that cannot be replaced (read-only,
    // immutable) fails only here.
    async finish() {
      await writable.close().catch(() => { throw new Stop("read-only"); });
      writable = null;
    },
    async discard() {
      if (writable) await writable.abort().catch(() => {});
      writable = null;
    },
  };
}

// Why the browser would not let the page write the cart.
function refusal(error) {
  if (error && error.name === "NoModificationAllowedError") return "inUse";
  if (error && error.name === "NotAllowedError") return "refused";
  return "read-only";
}

// "cart.bin" → "cart (processed).bin", then "cart (processed 2).bin"…: never
// the cart's own name, whatever the cart is called. Unfinished: "cart
// (processed, unfinished).bin".
function copyName(name, number = 1, unfinished = false) {
  const dot = name.lastIndexOf(".");
  const [stem, extension] = dot > 0 ? [name.slice(0, dot), name.slice(dot)] : [name, ""];
  return `${stem} (processed${number > 1 ? ` ${number}` : ""}${unfinished ? ", unfinished" : ""})${extension}`;
}

// Whether nothing of that name is in the folder.
const freeIn = (folder, name) =>
  folder.getFileHandle(name).then(() => false, (error) => error.name === "NotFoundError");

// A copy written into a folder the user chooses, as a new file: the page
// never opens a file that was there before, so nothing the user picks in
// the dialog (the cart's folder, the cart itself, another file) can be
// emptied or replaced. The copy is written under a name that says it is
// unfinished, read back and checked, and only then given its own name,
// checked free again; the page removes only the file it made. (The two
// names end alike: Chromium checks a file again, as long as it took to
// write, when a rename changes its extension.)
function folderTarget(name, why, session) {
  let folder = null;
  let file = null;
  let writable = null;
  const fail = (error) => {
    throw error instanceof Stop ? error
      : new Stop(error && error.name === "QuotaExceededError" ? "targetFull" : "targetFailed",
                 { detail: (error && error.name) || "unknown" });
  };
  const open = async () => {
    folder = await chooseFolder(name, why, session);
    try {
      for await (const _ of folder.keys()) break;  // eslint-disable-line no-unused-vars
    } catch {
      throw new Stop("notAFolder", { chosen: folder.name });
    }
    for (let number = 1; !file; ++number) {
      const unfinished = copyName(name, number, true);
      if (await freeIn(folder, copyName(name, number)) && await freeIn(folder, unfinished)) {
        file = await folder.getFileHandle(unfinished, { create: true });
      }
    }
    writable = await file.createWritable();
  };
  return {
    inPlace: false,
    get opened() {
      return file !== null;
    },
    async write(runs, buffer) {
      try {
        if (!writable) await open();
        await writeRuns(writable, runs, buffer);
      } catch (error) {
        fail(error);
      }
    },
    // The copy closed, checked by the Worker against what it lent, and
    // named; its name.
    async finish(check) {
      try {
        await writable.close();
        writable = null;
        if (!(await check(await file.getFile()))) throw new Stop("copyWrong");
        for (let number = 1; ; ++number) {
          const final = copyName(name, number);
          if (await freeIn(folder, final)) {
            await file.move(final);
            file = null;
            return final;
          }
        }
      } catch (error) {
        return fail(error);
      }
    },
    async discard() {
      if (writable) await writable.abort().catch(() => {});
      writable = null;
      if (file) await file.remove().catch(() => folder.removeEntry(file.name)).catch(() => {});
      file = null;
    },
  };
}

// The folder the user chooses for the copy. The browser opens its dialog
// only for a click, so the page asks for one.
function chooseFolder(name, why, session) {
  return new Promise((resolve, reject) => {
    const because = {
      refused: `Permission to change ${name} was refused, so it was not changed. `,
      "read-only": `${name} cannot be written (it is read-only), so it was not changed. `,
    }[why] || "";
    setState("asking", `${because}Choose a folder for the processed copy of ${name}: it is written there as a new file, ${copyName(name)}, as the run goes. No file already there is changed.`);
    const button = $("save-as");
    button.hidden = false;
    button.onclick = () => {
      button.hidden = true;
      window.showDirectoryPicker({ id: "frennick-copy", mode: "readwrite" }).then((folder) => {
        setState("running", "");
        resolve(folder);
      }, () => reject(new Stop("noFolder")));
    };
    session.stopAsking = () => {
      button.hidden = true;
      reject(new Stop("cancelled"));
    };
  });
}
