// The page's controls: the cart chosen, dropped or opened in place, the
// Worker started, copies of earlier runs let go, and the words that say
// where a cart goes in this browser.
const $ = (id) => document.getElementById(id);
// A module of the smallest kind that uses a 128-bit SIMD instruction: a
// browser that validates it runs the SIMD build. "?simd=off" plays a
// browser without it.
const simd = !/[?&]simd=off\b/.test(location.search) &&
  WebAssembly.validate(new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0,
    1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]));
const canOpenInPlace = typeof window.showOpenFilePicker === "function";
const workerSource = URL.createObjectURL(new Blob(
  ["engine-plain", "engine-simd", "run-worker"].map((id) => $(id).textContent + "\n"),
  { type: "text/javascript" }));
const mib = (bytes) => Math.ceil(bytes / (1024 * 1024)).toLocaleString("en");

let worker = null;
let running = null;  // the run in progress
let copyUrl = null;
let lastKept = null;

function describe(keeps) {
  const copy = {
    "private file": "you get a processed copy to save",
    "chosen folder": "the page asks for a folder to save a processed copy in, and writes it there as a new file as the run goes",
    "blobs": "you get a processed copy to save, which this browser keeps in its memory until then: as much memory as the cart takes on disk",
  }[keeps];
  $("where").textContent = canOpenInPlace
    ? `Dropping a cart onto this page, or “Change a cart in place…”, rewrites the cart itself, once the browser has asked you for permission. The browser replaces the cart only when the whole run is done: a cancelled or broken-off run leaves it exactly as it was, and a cart that needs nothing is not written at all. With “Make a processed copy”, the cart stays as it is and ${copy}.`
    : `This browser cannot change a file in place. A cart you drop or choose stays as it is, and ${copy}.`;
}

function say(line) {
  $("messages").textContent += line + "\n";
}

function setState(state, notice) {
  document.body.dataset.state = state;
  if (notice !== undefined) $("notice").textContent = notice;
}

function setControls(enabled) {
  for (const id of ["open", "cart"]) $(id).disabled = !enabled;
  $("cancel").disabled = enabled;
}

function beginRun() {
  setState("running", "");
  delete document.body.dataset.copy;
  setControls(false);
  $("busy").hidden = true;
  $("messages").textContent = "";
  $("download").hidden = true;
  $("download").removeAttribute("href");
  $("save-as").hidden = true;
  $("progress").value = 0;
  plot([], []);
}

function endRun(cancelled) {
  $("save-as").hidden = true;
  setControls(true);
  $("busy").hidden = true;
  setState(cancelled ? "cancelled" : "done");
}

// The origin's private file system, where the browser offers one to this
// page: the copies of earlier runs, and any a closed tab left, are removed
// there.
async function removeOldCopies() {
  let root = null;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return;
  }
  const names = [];
  for await (const name of root.keys()) {
    if (name.startsWith("frennick-copy-")) names.push(name);
  }
  for (const name of names) await root.removeEntry(name).catch(() => {});
}

// The last copy is let go before a run makes another: its address, its
// file, and the Worker that kept it as blobs (they go only with it).
async function releaseLastCopy(handle) {
  if (copyUrl) URL.revokeObjectURL(copyUrl);
  copyUrl = null;
  if (lastKept === "blobs") {
    worker.terminate();
    await startWorker().catch(() => {});
  }
  lastKept = null;
  if (!handle) await removeOldCopies();
}

function offerCopy(url, name) {
  copyUrl = url;
  const link = $("download");
  link.href = url;
  link.download = name;
  link.textContent = `Save the processed copy, ${name}`;
  link.hidden = false;
}

async function openAndRun() {
  let handle;
  try {
    [handle] = await window.showOpenFilePicker();
  } catch (error) {
    if (error.name !== "AbortError") {  // not the user closing the picker
      $("notice").textContent = "The browser would not open that file; choose it with the file field instead.";
    }
    return;
  }
  run(await handle.getFile(), handle);
}

addEventListener("beforeunload", (event) => {
  if (running) event.preventDefault();
});
$("cart").addEventListener("change", () => {
  const file = $("cart").files[0];
  $("cart").value = "";
  if (file) run(file, null);
});
$("open").addEventListener("click", openAndRun);
$("cancel").addEventListener("click", () => {
  if (!running) return;
  if (running.stopAsking) running.stopAsking();
  running.cancel();
});
document.addEventListener("dragover", (event) => {
  event.preventDefault();
  document.body.classList.add("dragging");
});
document.addEventListener("dragleave", () => document.body.classList.remove("dragging"));
document.addEventListener("drop", async (event) => {
  event.preventDefault();
  document.body.classList.remove("dragging");
  if (running) {
    $("busy").hidden = false;
    return;
  }
  // All asked for while the drop lasts: afterwards they are gone.
  const item = event.dataTransfer.items[0];
  const file = event.dataTransfer.files[0];
  const entry = item && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
  const asked = item && item.getAsFileSystemHandle ? item.getAsFileSystemHandle() : null;
  const handle = asked ? await asked.catch(() => null) : null;
  if ((handle && handle.kind === "directory") || (entry && entry.isDirectory)) {
    $("notice").textContent = NOTICES.folder({ name: (handle || entry).name });
  } else if (handle && handle.kind === "file") {
    run(await handle.getFile(), handle);
  } else if (file) {
    run(file, null);
  }
});
// For scripts that drive the page as a person would.
window.frennick = { run, cancel: () => $("cancel").click() };

startWorker().then(async ({ kernel, keeps }) => {
  await removeOldCopies();
  $("engine").textContent = `Matching with ${kernel}.`;
  describe(keeps);
  setControls(true);
  setState("idle");
}, () => {
  $("notice").textContent = "This browser could not start the page's matching engine.";
});
