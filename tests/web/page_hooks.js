// Test hooks that the harness puts into a test copy of the page (see
// hookedPage in page_harness.mjs), in the page and in its Worker, from the
// page address's "hooks" parameter (JSON):
//   stallOnce: the first read of a file never settles (the page's reader
//     must begin it again);
//   pauseAt: reading a file from this byte on waits until the test calls
//     window.testRelease() (window.testPaused says it waits);
//   unreadable: the Worker may not read any file (the page must read for it);
//   estimate: what navigator.storage.estimate() says in the Worker.
// The page keeps its Worker in window.testWorker, and the most chunks it
// ever had on their way to it in window.testMostInFlight.
function installTestHooks(hooks, where) {
  const marked = Symbol("paused");
  let released = !("pauseAt" in hooks);
  let release = null;
  const gate = new Promise((resolve) => { release = resolve; });
  let stalled = !hooks.stallOnce;
  const told = () => {
    if (where === "worker") postMessage({ type: "test-paused" });
    else window.testPaused = true;
  };
  const slice = Blob.prototype.slice;
  Blob.prototype.slice = function (start = 0, ...rest) {
    const part = slice.call(this, start, ...rest);
    if (!released && start >= hooks.pauseAt) part[marked] = true;
    return part;
  };
  const stream = Blob.prototype.stream;
  Blob.prototype.stream = function () {
    const made = stream.call(this);
    if (this[marked]) made[marked] = true;
    return made;
  };
  const getReader = ReadableStream.prototype.getReader;
  ReadableStream.prototype.getReader = function (...how) {
    const reader = getReader.apply(this, how);
    if (this[marked]) reader[marked] = true;
    return reader;
  };
  for (const kind of [globalThis.ReadableStreamDefaultReader, globalThis.ReadableStreamBYOBReader]) {
    if (!kind) continue;
    const read = kind.prototype.read;
    kind.prototype.read = async function (...how) {
      if (!stalled) {
        stalled = true;
        return new Promise(() => {});
      }
      if (this[marked] && !released) {
        told();
        await gate;
      }
      return read.apply(this, how);
    };
  }
  const open = () => {
    released = true;
    release();
  };
  if (where === "worker") {
    addEventListener("message", ({ data }) => {
      if (data && data.type === "test-release") open();
    });
    if (hooks.unreadable) {
      Blob.prototype.arrayBuffer = () => Promise.reject(new DOMException("refused", "NotReadableError"));
    }
    if (hooks.estimate) navigator.storage.estimate = async () => hooks.estimate;
  } else {
    window.testRelease = () => {
      open();
      window.testWorker.postMessage({ type: "test-release" });
    };
  }
}

(() => {
  const hooks = JSON.parse(new URLSearchParams(location.search).get("hooks") || "{}");
  const script = document.getElementById("run-worker");
  script.textContent = `${installTestHooks};\ninstallTestHooks(${JSON.stringify(hooks)}, "worker");\n${script.textContent}`;
  installTestHooks(hooks, "page");
  const RealWorker = window.Worker;
  window.testMostInFlight = 0;
  window.Worker = function (...args) {
    const worker = new RealWorker(...args);
    window.testWorker = worker;
    let inFlight = 0;
    const post = worker.postMessage.bind(worker);
    worker.postMessage = (message, ...rest) => {
      if (message && message.type === "chunk" && message.buffer) {
        window.testMostInFlight = Math.max(window.testMostInFlight, ++inFlight);
      }
      return post(message, ...rest);
    };
    worker.addEventListener("message", ({ data }) => {
      if (data.type === "fed") --inFlight;
      if (data.type === "test-paused") window.testPaused = true;
    });
    return worker;
  };
})();
