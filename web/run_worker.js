// One run over a cart, in a Worker so that the page stays responsive: reads
// the cart as a stream into the module's block, has it matched, and either
// hands the runs of changed pages to the page, which writes them into the
// cart, or writes the whole processed copy itself as it goes, so that no
// run ever holds more than a few blocks of the cart in memory. The page
// puts the engine's JavaScript before this, and says which build to load.
"use strict";

const PAGE = 8192;
// Buffers handed to the page and not yet written, and their size: the
// bound on memory. Big ones make few writes, which cost the browser most.
const IN_FLIGHT = 4;
const LENT = 4 * 1024 * 1024;
// The copy's pieces, when it is kept as blobs: a few MiB each.
const PIECE = 4 * 1024 * 1024;

let engine = null;
// Buffers lent to the page with changed pages and given back once they are
// written: nothing is allocated per block, so memory stays flat however big
// the cart. `filling` is the one pages go into now, with its runs.
let spare = [];
let bufferArrived = null;
let filling = null;

const text = (pointer) => engine.UTF8ToString(pointer).replace(/\n$/, "");
// `count` pages of the module's block from slot `n` on.
const slot = (n, count = 1) => {
  const at = engine._pageSlot(n);
  return engine.HEAPU8.subarray(at, at + count * PAGE);
};

// Exactly `into.length` bytes from a stream's reader, fewer only at its end.
// Where the stream lets the reader bring its own buffer, one buffer serves
// the whole run: a buffer per chunk would leave the page's memory to
// the garbage collector's pace.
class StreamReader {
  constructor(stream) {
    try {
      this.reader = stream.getReader({ mode: "byob" });
      this.buffer = new ArrayBuffer(1 << 20);
    } catch {
      this.reader = stream.getReader();
      this.buffer = null;
    }
    this.left = new Uint8Array(0);
  }

  // A File is a snapshot: once the file on disk changes, reading it fails
  // (Chromium says "network error", as for any stream).
  async next() {
    const chunk = this.buffer ? this.reader.read(new Uint8Array(this.buffer))
                              : this.reader.read();
    const { done, value } = await chunk.catch(() => {
      throw new DOMException("the file changed", "NotReadableError");
    });
    if (done) return false;
    if (this.buffer) this.buffer = value.buffer;
    this.left = value;
    return true;
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

// The processed copy, written as the run goes: into a file of the origin's
// private file system where the browser offers one to this page, else as
// blobs of a few MiB, which the browser keeps outside the page's memory.
async function openCopy(name) {
  try {
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle(name, { create: true });
    const access = await handle.createSyncAccessHandle();
    access.truncate(0);
    return {
      kind: "private file",
      write(bytes, at) {
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
  } catch {
    // No private file system here (Chromium from file://): blobs.
  }
  const pieces = [];
  const staging = new Uint8Array(PIECE);
  let staged = 0;
  const flush = () => {
    if (staged > 0) pieces.push(new Blob([staging.subarray(0, staged)]));
    staged = 0;
  };
  return {
    kind: "blobs",
    write(bytes) {  // always in order, from the start
      for (let done = 0; done < bytes.length;) {
        const take = Math.min(bytes.length - done, PIECE - staged);
        staging.set(bytes.subarray(done, done + take), staged);
        staged += take;
        done += take;
        if (staged === PIECE) flush();
      }
    },
    async finish() {
      flush();
      const whole = new Blob(pieces);
      // Chromium's store of blobs can fail to keep one of some sizes (seen
      // from 512 MiB to 1 GiB), and then every read of it fails: a copy is
      // offered only if it can be read.
      if (whole.size > 0) {
        await whole.slice(whole.size - 1).arrayBuffer().catch(() => {
          throw new DOMException("the browser could not keep the copy", "CopyNotKept");
        });
      }
      return whole;
    },
    abandon() {},
  };
}

async function spareBuffer() {
  while (spare.length === 0) {
    await new Promise((resolve) => { bufferArrived = resolve; });
  }
  return spare.pop();
}

// Puts a block's runs of changed pages into the buffer being filled,
// joining a run to the one before it where they touch; the buffer goes to
// the page when the next block might not fit.
async function lend(runs) {
  if (!filling) filling = { buffer: await spareBuffer(), at: 0, runs: [] };
  const bytes = new Uint8Array(filling.buffer);
  for (const { offset, first, length } of runs) {
    const size = length * PAGE;
    bytes.set(slot(first, length), filling.at);
    const last = filling.runs[filling.runs.length - 1];
    if (last && last.offset + last.size === offset) {
      last.size += size;
    } else {
      filling.runs.push({ offset, at: filling.at, size });
    }
    filling.at += size;
  }
  if (filling.at + engine._pagesPerBlock() * PAGE > LENT) sendLent();
}

function sendLent() {
  if (!filling) return;
  postMessage({ type: "runs", runs: filling.runs, buffer: filling.buffer }, [filling.buffer]);
  filling = null;
}

// The whole run. In place, page 0 and the tail are never read; for a copy
// they are copied as they are.
async function run({ file, inPlace, copyName }) {
  const pages = Math.floor(file.size / PAGE);
  const ending = (outcome, lines, extra = {}) =>
    postMessage({ type: "end", outcome, lines, ...extra });
  if (file.size < 2 * PAGE) {
    return ending("short", [text(engine._firstPageFailure())]);
  }

  const copy = inPlace ? null : await openCopy(copyName);
  const reader = new StreamReader(inPlace ? file.slice(PAGE, pages * PAGE).stream()
                                          : file.stream());
  try {
    if (copy) {
      const page0 = new Uint8Array(PAGE);
      await reader.into(page0);
      copy.write(page0, 0);
    }
    await reader.into(slot(0));  // page 1
    if (!engine._beginRun()) {
      if (copy) copy.abandon();
      return ending("not a cart", [text(engine._noSignature())]);
    }
    if (copy) copy.write(slot(0), PAGE);

    const block = engine._pagesPerBlock();
    const before = new Int32Array(Math.max(0, pages - 2));
    const after = new Int32Array(Math.max(0, pages - 2));
    let changed = false;
    let lastProgress = 0;
    for (let start = 2; start < pages;) {
      const count = Math.min(block, pages - start);
      const got = await reader.into(slot(1, count));
      if (got !== count * PAGE) throw new DOMException("short read", "NotReadableError");
      engine._matchPages(count);
      for (let s = 1; s <= count; ++s) {
        before[start + s - 3] = engine._pixelChangesBefore(s);
        after[start + s - 3] = engine._pixelChangesAfter(s);
      }
      changed ||= engine._changedRunCount(1) > 0;
      if (copy) {
        copy.write(slot(1, count), start * PAGE);  // every page, as matched
      } else {
        const runs = [];
        for (let from = 1; ;) {
          const first = engine._changedRunFirst(from);
          const length = engine._changedRunCount(from);
          if (length === 0) break;
          runs.push({ offset: (start + first - 1) * PAGE, first, length });
          from = first + length;
        }
        if (runs.length) await lend(runs);
      }
      engine._endBlock(count);
      start += count;
      const now = performance.now();
      if (now - lastProgress > 100) {
        lastProgress = now;
        postMessage({ type: "progress", done: (start - 2) / Math.max(1, pages - 2) });
      }
    }
    sendLent();
    if (copy) {  // the tail, shorter than a page, as it is
      const tail = new Uint8Array(file.size - pages * PAGE);
      await reader.into(tail);
      copy.write(tail, pages * PAGE);
    }
    const blob = copy ? await copy.finish() : null;
    ending("complete", [text(engine._summary(pages))],
           { changed, before, after, copy: blob, copyKind: copy && copy.kind });
  } catch (error) {
    if (copy) copy.abandon();
    postMessage({ type: "failed", reason: error && error.name });
  }
}

onmessage = async ({ data }) => {
  if (data.type === "load") {
    engine = await (data.simd ? FrennickSimd : FrennickPlain)();
    postMessage({ type: "ready", kernel: text(engine._kernelName()) });
  } else if (data.type === "written") {
    spare.push(data.buffer);
    if (bufferArrived) bufferArrived();
  } else if (data.type === "run") {
    spare = Array.from({ length: IN_FLIGHT }, () => new ArrayBuffer(LENT));
    filling = null;
    await run(data);
  }
};
