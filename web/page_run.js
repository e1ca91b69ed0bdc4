// One run, from the page's side: the Worker reads and matches the cart; the
// page writes what it lends (see page_targets.js), reads the cart for it
// where it may not, offers the copy, and says what happened.

// The Worker's messages go to the handlers of the run in progress (and
// between runs to the start's): one dispatcher.
let listening = {};
const listen = (handlers) => { listening = handlers; };

function startWorker() {
  return new Promise((resolve, reject) => {
    worker = new Worker(workerSource);
    worker.onmessage = ({ data }) => {
      if (listening[data.type]) listening[data.type](data);
    };
    worker.onerror = () => reject(new Error("the matching engine did not start"));
    listen({ ready: resolve });
    worker.postMessage({ type: "load", simd, canChoose: typeof window.showDirectoryPicker === "function" });
  });
}

// Reads bytes `from` to `to` of `file` for a Worker that may not read it
// itself, keeping `ahead` chunks on their way.
function feedWorker({ id, file, from, to, ahead }) {
  const reader = new SliceReader(file, from, to);
  let credit = ahead;
  let pumping = false;
  let stopped = false;
  const pump = async () => {
    if (pumping) return;
    pumping = true;
    try {
      while (credit > 0 && !stopped) {
        const chunk = await reader.next();
        if (stopped) break;
        if (!chunk) {
          stopped = true;
          worker.postMessage({ type: "chunk", id, buffer: null });
          break;
        }
        const { buffer } = chunk.slice();  // the reader's buffer serves it again
        worker.postMessage({ type: "chunk", id, buffer }, [buffer]);
        --credit;
      }
    } catch (error) {
      if (!stopped) worker.postMessage({ type: "chunk", id, failed: error.reason || "NotReadableError" });
      stopped = true;
    }
    pumping = false;
  };
  pump();
  return {
    id,
    more() {
      ++credit;
      pump();
    },
    stop() {
      stopped = true;
    },
  };
}

// The Worker's requests to read a file for it.
let feeder = null;
const feeding = {
  feed(data) {
    stopFeeding();
    feeder = feedWorker(data);
  },
  fed({ id }) {
    if (feeder && feeder.id === id) feeder.more();
  },
};
const stopFeeding = () => {
  if (feeder) feeder.stop();
  feeder = null;
};

// The Worker's run of `file`, to its "end": the pages it lends written
// into `target`, the cart read for it where it asks. Rejects with a Stop.
function converse(file, target, session) {
  return new Promise((resolve, reject) => {
    let writing = Promise.resolve();
    session.cancel = () => reject(new Stop("cancelled"));
    listen({
      ...feeding,
      plan({ keeps }) {
        session.keeps = keeps;
        if (keeps === "blobs") {
          setState("running", `This browser keeps the processed copy in its memory: about ${mib(file.size)} MiB for ${file.name}, until you leave this page (a copy made before may be held too, until after this run).`);
        }
      },
      progress: ({ done }) => { $("progress").value = done; },
      runs({ runs, buffer }) {
        // Written in order, one buffer after another; the Worker reads on
        // while the browser writes.
        writing = writing.then(async () => {
          await target.write(runs, buffer);
          worker.postMessage({ type: "written", buffer }, [buffer]);
        }).catch(reject);
      },
      end: (data) => writing.then(() => resolve(data), () => {}),
      failed: ({ reason, reading, started }) => reject(new Stop(reason, { reading, started })),
    });
    worker.postMessage({ type: "run", file, inPlace: target.inPlace });
  });
}

// One question to the Worker: a copy in the chosen folder, read back.
const checkCopy = (file) => new Promise((resolve) => {
  listen({ ...feeding, checked: ({ ok }) => resolve(ok) });
  worker.postMessage({ type: "check", file });
});

// Whether the cart is still as it was when chosen. Chromium and WebKit
// refuse to read a file changed since; Firefox reads what is there now;
// WebKit tells a file's time as it is now; a handle tells the file as it
// is on disk.
async function stillAsChosen(file, handle, lastModified) {
  try {
    const last = await file.slice(Math.max(0, file.size - 1)).arrayBuffer();
    if (last.byteLength !== Math.min(1, file.size) || file.lastModified !== lastModified) return false;
    if (!handle) return true;
    const now = await handle.getFile();
    return now.size === file.size && now.lastModified === file.lastModified;
  } catch {
    return false;
  }
}

// What a failed read of the cart means: it changed, it is gone, or the
// browser refuses to read it. "changed" only when the file's size or time
// says so, or when it ended early or read otherwise a second time.
async function readingOutcome(stop, file, handle, lastModified) {
  if (stop.reason === "Shrank" || stop.reason === "Changed") return "changed";
  if (handle) {
    try {
      const now = await handle.getFile();
      return now.size !== file.size || now.lastModified !== file.lastModified ? "changed" : "refused";
    } catch {
      return "gone";
    }
  }
  if (file.lastModified !== lastModified) return "changed";
  try {
    await file.slice(0, 1).arrayBuffer();
    return "refused";
  } catch {
    return stop.started ? "gone" : "unknown";
  }
}

// The run carried to its end: what happened, as { outcome, ... } for the
// notices. Throws a Stop where it stopped.
async function carry(file, handle, why, session) {
  const target = handle ? inPlaceTarget(handle, file.name) : folderTarget(file.name, why, session);
  session.target = target;
  const end = await converse(file, target, session);
  if (end.outcome === "complete" && !(await stillAsChosen(file, handle, session.lastModified))) {
    throw new Stop("Changed", { reading: true, started: true });
  }
  for (const line of end.lines) say(line);
  if (end.outcome !== "complete") return { outcome: file.size === 0 ? "empty" : end.outcome };
  $("progress").value = 1;
  plot(end.before, end.after);
  window.frennick.plotted = { before: Array.from(end.before), after: Array.from(end.after) };
  if (!end.changed) {
    const removed = !handle && target.opened;
    await target.discard();
    return { outcome: end.examined ? "nothingToChange" : "nothingToExamine", removed };
  }
  if (handle) {
    await target.finish();
    return { outcome: "changedInPlace" };
  }
  if (target.opened) {
    document.body.dataset.copy = "chosen folder";
    return { outcome: "copySaved", copyName: await target.finish(checkCopy) };
  }
  offerCopy(URL.createObjectURL(end.copy), copyName(file.name));
  lastKept = session.keeps;
  document.body.dataset.copy = session.keeps;  // where the copy is kept
  return { outcome: "copyOffered", copyName: copyName(file.name), why,
           memory: session.keeps === "blobs" ? mib(end.copy.size) : null };
}

// What a stopped run means for the notice.
async function stopped(stop, file, handle, session) {
  if (stop.reading) {
    return { outcome: await readingOutcome(stop, file, handle, session.lastModified), started: stop.started };
  }
  if (handle && ["refused", "read-only"].includes(stop.reason)) return { outcome: "retry", why: stop.reason };
  if (stop.reason === "QuotaExceededError") return { outcome: "privateFull" };
  return { outcome: stop.reason in NOTICES ? stop.reason : session.keeps && !handle ? "keepingFailed" : "failed",
           chosen: stop.chosen, detail: stop.detail };
}

// One run over `file`: in place through `handle` where there is one, else
// into a copy; `why` a copy is made where an in-place run was refused.
async function run(file, handle, why = null) {
  if (running) {
    $("busy").hidden = false;
    return;
  }
  const session = { lastModified: file.lastModified, cancel() {} };
  running = session;
  beginRun();
  await releaseLastCopy(handle);
  let told;
  try {
    told = await carry(file, handle, why, session);
  } catch (error) {
    await (session.target ? session.target.discard() : null);
    stopFeeding();
    // A Worker stopped halfway may still be reading or writing: a new one.
    worker.terminate();
    const started = startWorker();
    told = await stopped(error instanceof Stop ? error : new Stop("failed"), file, handle, session);
    await started.catch(() => {});
    await removeOldCopies();
  }
  running = null;
  if (told.outcome === "retry") return run(file, null, told.why);
  endRun(told.outcome === "cancelled" || told.outcome === "noFolder");
  $("notice").textContent = NOTICES[told.outcome]({ name: file.name, inPlace: Boolean(handle), ...told });
}
