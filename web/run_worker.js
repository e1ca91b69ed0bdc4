// One run over a cart, in a Worker so that the page stays responsive: reads
// the cart as a stream into the module's block, has it matched, and either
// hands pages to the page, which writes them (into the cart itself, or into
// a file the user chose for the copy), or keeps the whole processed copy
// itself as it goes, so that no run ever holds more than a few MiB of the
// cart in memory. Where the browser will not let a Worker read the cart
// (WebKit, for a page opened from a file), the page reads it and hands the
// chunks over. The page puts the engine's JavaScript before this, and says
// which build to load.
"use strict";

const PAGE = 8192;
// Buffers handed to the page and not yet written, and their size: the
// bound on memory. Big ones make few writes, which cost the browser most.
const IN_FLIGHT = 4;
const LENT = 4 * 1024 * 1024;
// The copy's pieces, when it is kept as blobs or written as a stream: a few
// MiB each.
const PIECE = 4 * 1024 * 1024;
// Chunks the page has read for this worker and not yet handed over.
const FED_AHEAD = 4;
// The cart is read a slice at a time; a read that brings nothing for this
// many milliseconds is begun again.
const SLICE = 8 * 1024 * 1024;
const STALL = 5000;
// Names of the copies in the origin's private file system; the page
// removes old ones.
const COPY_PREFIX = "frennick-copy-";

let engine = null;
// Buffers lent to the page and given back once they are written: nothing
// is allocated per block, so memory stays flat however big the cart.
// `filling` is the one pages go into now, with the runs of pages in it.
let spare = [];
let bufferArrived = null;
let filling = null;
// Where the chunks the page reads for this worker go.
let fedChunk = null;

const text = (pointer) => engine.UTF8ToString(pointer).replace(/\n$/, "");
// `count` pages of the module's block from slot `n` on.
const slot = (n, count = 1) => {
  const at = engine._pageSlot(n);
  return engine.HEAPU8.subarray(at, at + count * PAGE);
};
// What went wrong reading the cart, told apart from a failure to keep the
// copy.
const readingFailure = (name) => Object.assign(new DOMException("the cart was not read", name), { reading: true });

// Bytes `from` to `to` of the cart, exactly `into.length` at a time, fewer
// only at the end: from the file a slice at a time (WebKit reads the whole
// of a Blob's stream as fast as it can, however slowly its reader takes
// it, and would hold a whole cart in memory), or from the chunks the page
// reads for this Worker (`fed`). Where a stream lets the reader bring its
// own buffer, one buffer serves the whole run: a buffer per chunk would
// leave the page's memory to the garbage collector's pace.
class StreamReader {
  constructor(file, from, to, fed) {
    this.file = file;
    this.at = from;
    this.to = to;
    this.fed = fed;
    this.reader = null;
    this.buffer = null;
    this.left = new Uint8Array(0);
    this.patience = STALL;
  }

  open() {
    if (this.fed) {
      this.reader = this.fed.getReader();
      return true;
    }
    if (this.at >= this.to) return false;
    const stream = this.file.slice(this.at, Math.min(this.to, this.at + SLICE)).stream();
    try {
      this.reader = stream.getReader({ mode: "byob" });
      this.buffer ||= new ArrayBuffer(1 << 20);
    } catch {
      this.reader = stream.getReader();
      this.buffer = null;
    }
    return true;
  }

  // The next chunk, or null: a read of the file that brings nothing for a
  // while is begun again where it stopped (Chromium's reads of a file in a
  // Worker have stalled for good, now and then, while the page wrote a
  // chosen file); each time it waits twice as long.
  async read() {
    const chunk = (this.buffer ? this.reader.read(new Uint8Array(this.buffer)) : this.reader.read())
      .catch(() => { throw readingFailure("NotReadableError"); });
    if (this.fed) return chunk;
    let timer = null;
    const stalled = new Promise((resolve) => { timer = setTimeout(resolve, this.patience, null); });
    const result = await Promise.race([chunk, stalled]);
    clearTimeout(timer);
    if (result) {
      this.patience = STALL;
    } else {
      this.patience *= 2;
      this.reader.cancel().catch(() => {});
      this.reader = null;
      if (this.buffer) this.buffer = new ArrayBuffer(this.buffer.byteLength);
    }
    return result;
  }

  async next() {
    for (;;) {
      if (!this.reader && !this.open()) return false;
      const result = await this.read();
      if (!result) continue;
      const { done, value } = result;
      if (this.buffer) this.buffer = value ? value.buffer : new ArrayBuffer(1 << 20);
      if (done) {
        if (this.fed) return false;
        this.reader = null;
        continue;
      }
      this.at += value.length;
      this.left = value;
      return true;
    }
  }

  async into(into) {
    let done = 0;
    while (done < into.length) {
      if (this.left.length === 0 && !(await this.next())) break;
      const take = Math.min(this.left.length, into.length - done);
      into.set(this.left.subarray(0, take), done);
      this.left = this.left.subarray(take);
      done += take;
    }
    return done;
  }
}

// Bytes `from` to `to` of the cart as the page reads them and hands them
// over, a few chunks ahead of the matching.
function fedStream(from, to) {
  const chunks = [];
  let wake = null;
  fedChunk = (chunk) => {
    chunks.push(chunk);
    if (wake) wake();
  };
  postMessage({ type: "feed", from, to, ahead: FED_AHEAD });
  return new ReadableStream({
    async pull(controller) {
      while (chunks.length === 0) await new Promise((resolve) => { wake = resolve; });
      wake = null;
      const { buffer, failed } = chunks.shift();
      if (failed) {
        controller.error(readingFailure("NotReadableError"));
      } else if (!buffer) {
        controller.close();
      } else {
        postMessage({ type: "fed" });
        controller.enqueue(new Uint8Array(buffer));
      }
    },
  }, { highWaterMark: 0 });
}

// Whether this Worker may read the cart at all: WebKit refuses every read
// of a File or a Blob in a Worker of a page opened from a file.
async function canRead(file) {
  try {
    await file.slice(0, 1).arrayBuffer();
    return true;
  } catch {
    return false;
  }
}

// The copy's bytes, which come in order from the start of the cart,
// gathered into pieces of PIECE bytes, each handed whole to `put`, which
// may take its time: one piece fills while the other is written. Nothing
// may keep a view of the engine's block, which the next read overwrites.
function pieces(put) {
  const buffers = [new Uint8Array(PIECE), new Uint8Array(PIECE)];
  const writing = [Promise.resolve(), Promise.resolve()];
  let current = 0;
  let staged = 0;
  const flush = async () => {
    if (staged === 0) return;
    writing[current] = put(buffers[current].subarray(0, staged));
    current = 1 - current;
    staged = 0;
    await writing[current];
  };
  return {
    async write(bytes) {
      for (let done = 0; done < bytes.length;) {
        const take = Math.min(bytes.length - done, PIECE - staged);
        buffers[current].set(bytes.subarray(done, done + take), staged);
        staged += take;
        done += take;
        if (staged === PIECE) await flush();
      }
    },
    async end() {
      await flush();
      await Promise.all(writing);
    },
  };
}

// The processed copy, written as the run goes, where this Worker can keep
// it: a file of the origin's private file system, written in place where
// the browser offers sync access handles, else as a stream; else blobs of
// a few MiB, which the browser keeps outside the page's memory. Every copy
// is written in order, from the start of the cart.
async function syncCopy(handle) {
  const access = await handle.createSyncAccessHandle();
  access.truncate(0);
  return {
    kind: "private file",
    async write(bytes, at) {
      for (let done = 0; done < bytes.length;) {
        done += access.write(bytes.subarray(done), { at: at + done });
      }
    },
    async finish() {
      access.flush();
      access.close();
      return null;  // the page takes the file from the private file system
    },
    abandon() {
      access.close();
    },
  };
}

async function streamCopy(handle) {
  const writable = await handle.createWritable();
  const staged = pieces((bytes) => writable.write(bytes));
  return {
    kind: "private file",
    write: (bytes) => staged.write(bytes),
    async finish() {
      await staged.end();
      await writable.close();
      return null;
    },
    abandon: () => writable.abort().catch(() => {}),
  };
}

function blobCopy() {
  const kept = [];
  const staged = pieces(async (bytes) => { kept.push(new Blob([bytes])); });
  return {
    kind: "blobs",
    write: (bytes) => staged.write(bytes),
    async finish() {
      await staged.end();
      return new Blob(kept);
    },
    abandon() {},
  };
}

// How this Worker can keep a copy here: "sync", "stream" or "blobs". Each
// is tried on a file of its own: in WebKit a file whose sync access handle
// was refused cannot be written as a stream either.
let store = "blobs";
async function findStore() {
  let root = null;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return "blobs";  // none here: WebKit's defaults, a page opened from a file
  }
  for (const [kind, open] of [["sync", (handle) => handle.createSyncAccessHandle().then((a) => a.close())],
                              ["stream", (handle) => handle.createWritable().then((w) => w.abort())]]) {
    const name = `${COPY_PREFIX}probe-${kind}`;
    try {
      await open(await root.getFileHandle(name, { create: true }));
      return kind;
    } catch {
      // not this one
    } finally {
      await root.removeEntry(name).catch(() => {});
    }
  }
  return "blobs";
}

// Whether the private file system has room for a copy of `size` bytes, by
// the browser's own account (WebKit's quota is 1 GiB an origin unless the
// browser sets another).
async function roomFor(size) {
  try {
    const { quota, usage } = await navigator.storage.estimate();
    return quota - usage >= size;
  } catch {
    return true;
  }
}

// The copy, kept where the plan for this run said (the page has told the
// user what blobs cost).
async function openCopy(name, keeps) {
  if (keeps !== "blobs") {
    let root = null;
    try {
      root = await navigator.storage.getDirectory();
      const handle = await root.getFileHandle(name, { create: true });
      return await (store === "sync" ? syncCopy : streamCopy)(handle);
    } catch {
      // A copy file that cannot be written is not left behind.
      if (root) await root.removeEntry(name).catch(() => {});
    }
  }
  return blobCopy();
}

async function spareBuffer() {
  while (spare.length === 0) {
    await new Promise((resolve) => { bufferArrived = resolve; });
  }
  return spare.pop();
}

// Copies `bytes`, which belong at `offset` of the cart, into the buffers
// lent to the page, joining them to the run before where they touch; a
// buffer goes to the page once it is full.
async function lend(bytes, offset) {
  for (let done = 0; done < bytes.length;) {
    if (!filling) filling = { buffer: await spareBuffer(), at: 0, runs: [] };
    const take = Math.min(bytes.length - done, LENT - filling.at);
    new Uint8Array(filling.buffer).set(bytes.subarray(done, done + take), filling.at);
    const last = filling.runs[filling.runs.length - 1];
    if (last && last.offset + last.size === offset + done) {
      last.size += take;
    } else {
      filling.runs.push({ offset: offset + done, at: filling.at, size: take });
    }
    filling.at += take;
    done += take;
    if (filling.at === LENT) sendLent();
  }
}

function sendLent() {
  if (!filling) return;
  postMessage({ type: "runs", runs: filling.runs, buffer: filling.buffer }, [filling.buffer]);
  filling = null;
}

// The whole run. `sink` says where the pages go: "in place" (the page
// writes the changed ones into the cart), "page" (the page writes every
// one into a file the user chose) or "worker" (this Worker keeps the
// copy). In place, page 0 and the tail are never read; a copy gets them as
// they are. `feed`: the page reads the cart for this Worker.
async function run({ file, sink, copyName, feed, keeps }) {
  const pages = Math.floor(file.size / PAGE);
  const ending = (outcome, lines, extra = {}) =>
    postMessage({ type: "end", outcome, lines, examined: pages > 2, ...extra });
  if (file.size < 2 * PAGE) {
    return ending("short", [text(engine._firstPageFailure())]);
  }

  const inPlace = sink === "in place";
  const copy = inPlace ? null
    : sink === "page" ? { kind: "chosen file", write: lend, finish: async () => null, abandon() {} }
      : await openCopy(copyName, keeps);
  const [from, to] = inPlace ? [PAGE, pages * PAGE] : [0, file.size];
  const reader = new StreamReader(file, from, to, feed ? fedStream(from, to) : null);
  // Fewer bytes than the file held when it was chosen: it has shrunk.
  const whole = async (into) => {
    if (await reader.into(into) !== into.length) {
      throw readingFailure("CartShrank");
    }
  };
  try {
    if (copy) {
      const page0 = new Uint8Array(PAGE);
      await whole(page0);
      await copy.write(page0, 0);
    }
    await whole(slot(0));  // page 1
    if (!engine._beginRun()) {
      if (copy) copy.abandon();
      return ending("not a cart", [text(engine._noSignature())]);
    }
    if (copy) await copy.write(slot(0), PAGE);

    const block = engine._pagesPerBlock();
    const before = new Int32Array(Math.max(0, pages - 2));
    const after = new Int32Array(Math.max(0, pages - 2));
    let changed = false;
    let lastProgress = 0;
    for (let start = 2; start < pages;) {
      const count = Math.min(block, pages - start);
      await whole(slot(1, count));
      engine._matchPages(count);
      for (let s = 1; s <= count; ++s) {
        before[start + s - 3] = engine._pixelChangesBefore(s);
        after[start + s - 3] = engine._pixelChangesAfter(s);
      }
      changed ||= engine._changedRunCount(1) > 0;
      if (copy) {
        await copy.write(slot(1, count), start * PAGE);  // every page, as matched
      } else {
        for (let from = 1; ;) {
          const first = engine._changedRunFirst(from);
          const length = engine._changedRunCount(from);
          if (length === 0) break;
          await lend(slot(first, length), (start + first - 1) * PAGE);
          from = first + length;
        }
      }
      engine._endBlock(count);
      start += count;
      const now = performance.now();
      if (now - lastProgress > 100) {
        lastProgress = now;
        postMessage({ type: "progress", done: (start - 2) / Math.max(1, pages - 2) });
      }
    }
    if (copy) {  // the tail, shorter than a page, as it is
      const tail = new Uint8Array(file.size - pages * PAGE);
      await whole(tail);
      await copy.write(tail, pages * PAGE);
    }
    // A copy the user chose a file for is wanted only if a page changed.
    if (changed || sink !== "page") sendLent();
    const kept = copy ? await copy.finish() : null;
    ending("complete", [text(engine._summary(pages))],
           { changed, before, after, copy: kept, copyKind: copy && copy.kind });
  } catch (error) {
    if (copy) copy.abandon();
    postMessage({ type: "failed", reason: error && error.name, reading: Boolean(error && error.reading) });
  }
}

onmessage = async ({ data }) => {
  if (data.type === "load") {
    engine = await (data.simd ? FrennickSimd : FrennickPlain)();
    store = await findStore();
    postMessage({ type: "ready", kernel: text(engine._kernelName()),
                  keeps: store === "blobs" ? "blobs" : "private file" });
  } else if (data.type === "written") {
    if (spare.length < IN_FLIGHT) spare.push(data.buffer);
    if (bufferArrived) bufferArrived();
  } else if (data.type === "chunk") {
    fedChunk(data);
  } else if (data.type === "plan") {
    postMessage({ type: "plan", readable: await canRead(data.file),
                  // As blobs where the private file system has no room for it.
                  keeps: store !== "blobs" && await roomFor(data.file.size) ? "private file" : "blobs" });
  } else if (data.type === "run") {
    // The buffers of the last run serve again.
    while (spare.length < IN_FLIGHT) spare.push(new ArrayBuffer(LENT));
    filling = null;
    await run(data);
  }
};
