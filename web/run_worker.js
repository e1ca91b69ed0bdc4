// One run over a cart, in a Worker so that the page stays responsive: reads
// the cart into the module's block a slice at a time, has it matched, and
// either lends the page the pages to write (into the cart itself, or into a
// copy in a folder the user chose) or keeps the processed copy itself as it
// goes, so that no run holds more than a few MiB of the cart in memory.
// Every copy is digested as it is written and again as it is read back, and
// is offered only if the two agree. Where the browser will not let a Worker
// read the cart (WebKit, for a page opened from a file), the page reads it
// and hands the chunks over. The page puts the engine's JavaScript and
// shared.js before this, and says which build to load.

// Buffers lent to the page and not yet written, and their size: the bound
// on memory. Big ones make few writes, which cost the browser most.
const IN_FLIGHT = 4;
const LENT = 4 * 1024 * 1024;
// The copy's pieces, when it is kept as blobs or written as a stream.
const PIECE = 4 * 1024 * 1024;
// Chunks the page has read for this Worker and not yet handed over.
const FED_AHEAD = 4;
// Names of the copies in the origin's private file system; the page
// removes old ones.
const COPY_PREFIX = "frennick-copy-";
// The module's digests: the copy as written, and as read back.
const WRITTEN = 0;
const READ_BACK = 1;
// Pieces of the cart read again at the end of a run: its first and last
// MiB, and as many pieces of 64 KiB between them.
const SAMPLE_END = 1024 * 1024;
const SAMPLE_PIECE = 64 * 1024;
const SAMPLE_PIECES = 14;

let engine = null;
// How this Worker can keep a copy: "sync", "stream" or "blobs".
let store = "blobs";
let canChoose = false;
let copies = 0;
// Buffers lent to the page and given back once written: nothing is
// allocated per block, so memory stays flat however big the cart. Pages go
// into `filling` now, with their runs.
let spare = [];
let bufferArrived = null;
let filling = null;
// Where the chunks that the page reads for this Worker go, and how many
// files it has been asked to read.
let fedChunk = null;
let feeds = 0;
// What was lent for a copy in a chosen folder, until the page has it checked.
let lent = null;

const text = (pointer) => engine.UTF8ToString(pointer).replace(/\n$/, "");
// `count` pages of the module's block from slot `n` on.
const slot = (n, count = 1) => {
  const at = engine._pageSlot(n);
  return engine.HEAPU8.subarray(at, at + count * PAGE);
};

// One of the module's digests, fed with bytes from anywhere.
class Digest {
  constructor(which) {
    this.which = which;
    engine._digestBegin(which);
  }

  add(bytes) {
    if (bytes.buffer === engine.HEAPU8.buffer) {
      engine._digestAdd(this.which, bytes.byteOffset, bytes.length);
      return;
    }
    const at = engine._digestInputBytes();
    const size = engine._digestInputSize();
    for (let done = 0; done < bytes.length; done += size) {
      const part = bytes.subarray(done, done + size);
      engine.HEAPU8.set(part, at);
      engine._digestAdd(this.which, at, part.length);
    }
  }

  value() {
    return text(engine._digestValue(this.which));
  }
}

// The digest of bytes `from` to `to` of a file as it reads now.
async function digestOf(file, which, from = 0, to = file.size) {
  const digest = new Digest(which);
  const reader = await readerOf(file, from, to);
  for (let chunk; (chunk = await reader.next());) digest.add(chunk);
  return digest.value();
}

// Pieces of a file kept as they were read or written, to read again: its
// first and last MiB and pieces spread between, or all of a small one.
class Sample {
  constructor(from, to) {
    const wanted = [[from, Math.min(to, from + SAMPLE_END)]];
    if (to - from > 4 * SAMPLE_END) {
      for (let k = 1; k <= SAMPLE_PIECES; ++k) {
        const at = from + Math.floor((to - from) * k / (SAMPLE_PIECES + 1) / PAGE) * PAGE;
        wanted.push([at, at + SAMPLE_PIECE]);
      }
    }
    wanted.push([Math.max(from, to - SAMPLE_END), to]);
    this.pieces = [];
    for (const [start, end] of wanted) {
      const last = this.pieces[this.pieces.length - 1];
      if (last && start <= last.end) last.end = Math.max(last.end, end);
      else this.pieces.push({ start, end });
    }
    for (const piece of this.pieces) piece.bytes = new Uint8Array(piece.end - piece.start);
  }

  // Bytes from `offset` on.
  take(bytes, offset) {
    for (const { start, end, bytes: kept } of this.pieces) {
      const from = Math.max(start, offset);
      const to = Math.min(end, offset + bytes.length);
      if (from < to) kept.set(bytes.subarray(from - offset, to - offset), from - start);
    }
  }

  // Whether `file` reads now as was taken.
  async same(file) {
    for (const { start, end, bytes } of this.pieces) {
      const reader = await readerOf(file, start, end);
      let at = 0;
      for (let chunk; (chunk = await reader.next().catch(() => null));) {
        for (let i = 0; i < chunk.length; ++i) if (chunk[i] !== bytes[at + i]) return false;
        at += chunk.length;
      }
      if (at !== bytes.length) return false;
    }
    return true;
  }
}

// The cart's bytes from `from` on, exactly as many as asked at a time, fewer
// only at its end: `source` gives them a chunk at a time.
class CartBytes {
  constructor(source, sample, from) {
    this.source = source;
    this.sample = sample;
    this.left = new Uint8Array(0);
    this.at = from;
    this.taken = 0;
  }

  async fill(into) {
    let done = 0;
    while (done < into.length) {
      if (this.left.length === 0) {
        const chunk = await this.source.next().catch((stop) => {
          stop.started = this.taken > 0;
          throw stop;
        });
        if (!chunk) break;
        this.left = chunk;
      }
      const take = Math.min(this.left.length, into.length - done);
      const bytes = this.left.subarray(0, take);
      this.sample.take(bytes, this.at);
      into.set(bytes, done);
      this.left = this.left.subarray(take);
      done += take;
      this.at += take;
      this.taken += take;
    }
    return done;
  }

  // Exactly into.length bytes: fewer than the file held when it was chosen
  // means that it got shorter.
  async whole(into) {
    if (await this.fill(into) !== into.length) throw new Stop("Shrank", { reading: true, started: true });
  }
}

// Bytes `from` to `to` of a file (the cart, or a copy) as the page reads
// them and hands them over, a few chunks ahead of their use.
function fedSource(file, from, to) {
  const chunks = [];
  let wake = null;
  // The page's chunks of an earlier feed may still arrive.
  const id = ++feeds;
  fedChunk = (chunk) => {
    if (chunk.id !== id) return;
    chunks.push(chunk);
    if (wake) wake();
  };
  postMessage({ type: "feed", id, file, from, to, ahead: FED_AHEAD });
  return {
    async next() {
      while (chunks.length === 0) await new Promise((resolve) => { wake = resolve; });
      wake = null;
      const { buffer, failed } = chunks.shift();
      if (failed) throw new Stop(failed, { reading: true });
      if (!buffer) return null;
      postMessage({ type: "fed", id });
      return new Uint8Array(buffer);
    },
  };
}

// Whether this Worker may read a file at all: WebKit refuses every read of
// a File or a Blob in a Worker of a page opened from a file, even of a Blob
// the Worker made itself.
async function canRead(file) {
  try {
    await file.slice(0, 1).arrayBuffer();
    return true;
  } catch {
    return false;
  }
}

// Bytes `from` to `to` of a file, read here or by the page.
async function readerOf(file, from, to) {
  return (await canRead(file)) ? new SliceReader(file, from, to) : fedSource(file, from, to);
}

// The copy's bytes, which come in order from the start of the cart,
// gathered into pieces of PIECE bytes, each handed to `put` in a buffer of
// its own, which it may take its time with: one piece fills while the other
// is written. Nothing may keep a view of the engine's block, which the next
// read overwrites.
function pieces(put) {
  const buffers = [new Uint8Array(PIECE), new Uint8Array(PIECE)];
  const writing = [Promise.resolve(), Promise.resolve()];
  let current = 0;
  let staged = 0;
  const flush = async () => {
    if (staged === 0) return;
    writing[current] = put(exactBytes(buffers[current].subarray(0, staged)));
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

// The processed copy, written as the run goes, where this Worker keeps it:
// a file of the origin's private file system, through a sync access handle
// where the browser offers one, else as a stream; else blobs of a few MiB,
// which the browser keeps outside the page's memory. Each is written in
// order from the start of the cart; `finish` gives the copy as a File or a
// Blob, and `discard` lets go of it.
async function syncCopy(root, name) {
  const handle = await root.getFileHandle(name, { create: true });
  const access = await handle.createSyncAccessHandle();
  access.truncate(0);
  let open = true;
  const close = () => {
    if (open) access.close();
    open = false;
  };
  // The bytes of a write in a buffer of their own, kept for the next write
  // of that size: a write of a sync access handle is done when it returns.
  const staging = new Map();
  const staged = (bytes) => {
    if (!staging.has(bytes.length)) staging.set(bytes.length, new Uint8Array(bytes.length));
    const buffer = staging.get(bytes.length);
    buffer.set(bytes);
    return buffer;
  };
  return {
    async write(bytes, at) {
      for (let done = 0; done < bytes.length;) {
        done += access.write(staged(bytes.subarray(done)), { at: at + done });
      }
    },
    async finish() {
      access.flush();
      close();
      return handle.getFile();
    },
    async discard() {
      close();
      await root.removeEntry(name).catch(() => {});
    },
  };
}

async function streamCopy(root, name) {
  const handle = await root.getFileHandle(name, { create: true });
  const writable = await handle.createWritable();
  const staged = pieces((bytes) => writable.write(bytes));
  let open = true;
  return {
    write: (bytes) => staged.write(bytes),
    async finish() {
      await staged.end();
      open = false;
      await writable.close();
      return handle.getFile();
    },
    async discard() {
      if (open) await writable.abort().catch(() => {});
      await root.removeEntry(name).catch(() => {});
    },
  };
}

function blobCopy(size) {
  let kept = [];
  const staged = pieces(async (bytes) => { kept.push(new Blob([bytes])); });
  const sample = new Sample(0, size);
  return {
    sample,
    write(bytes, at) {
      sample.take(bytes, at);
      return staged.write(bytes);
    },
    async finish() {
      await staged.end();
      return new Blob(kept);
    },
    async discard() {
      kept = [];
    },
  };
}

// A copy that the page writes into the folder the user chose: every page
// is lent to it. It is checked once the page has written it (see "check").
function folderCopy() {
  return {
    write: lend,
    async finish() {
      sendLent();
      return null;
    },
    async discard() {},
  };
}

// How this Worker can keep a copy here. Each way is tried on a file of its
// own: in WebKit a file whose sync access handle was refused cannot be
// written as a stream either. The probes are removed at once, and are not
// named as copies: the page's removal of old copies must not hide one.
async function findStore() {
  let root = null;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return "blobs";  // none here: WebKit's defaults, a page opened from a file
  }
  for (const [kind, open] of [["sync", (handle) => handle.createSyncAccessHandle().then((a) => a.close())],
                              ["stream", (handle) => handle.createWritable().then((w) => w.abort())]]) {
    const name = `frennick-probe-${kind}`;
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

// Where a copy goes when the private file system has room: a page that can
// have the user choose a folder writes it there rather than keep it in
// memory.
const usualKeeping = () => (store !== "blobs" ? "private file" : canChoose ? "chosen folder" : "blobs");

// Where this run's copy goes: as blobs where the private file system has no
// room for it, by the browser's own account (WebKit's quota is 1 GiB an
// origin unless the browser sets another).
async function keepingFor(size) {
  const usual = usualKeeping();
  if (usual !== "private file") return usual;
  try {
    const { quota, usage } = await navigator.storage.estimate();
    return quota - usage >= size ? usual : "blobs";
  } catch {
    return usual;
  }
}

async function openCopy(keeps, size) {
  if (keeps === "chosen folder") return folderCopy();
  if (keeps === "private file") {
    const root = await navigator.storage.getDirectory();
    const name = `${COPY_PREFIX}${Date.now()}-${++copies}`;
    return (store === "sync" ? syncCopy : streamCopy)(root, name);
  }
  return blobCopy(size);
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

// The copy as kept, read back: its size and its digest must be what was
// written, or it is let go and never offered (a browser's store of blobs
// can fail to keep one of some sizes, Chromium's from 512 MiB to 1 GiB, and
// then every read of it fails). A copy kept as blobs, in memory, is read
// back only in part: all of it would cost WebKit as much memory again.
async function checked(copy, size, written) {
  const kept = await copy.finish();
  let seen = "";
  if (kept.size === size) {
    seen = await (copy.sample ? copy.sample.same(kept).then((same) => same && written.value())
      : digestOf(kept, READ_BACK)).catch(() => null);
  }
  if (seen !== written.value()) {
    await copy.discard();
    throw new Stop(seen === null ? "notKept" : "copyWrong");
  }
  return kept;
}

// The whole run. In place, page 0 and the tail are never read, and only
// the changed pages are lent; a copy gets every byte, in order.
async function run({ file, inPlace }) {
  const pages = Math.floor(file.size / PAGE);
  const ending = (outcome, lines, extra = {}) =>
    postMessage({ type: "end", outcome, lines, examined: pages > 2, ...extra });
  if (file.size < 2 * PAGE) return ending("short", [text(engine._firstPageFailure())]);

  const keeps = inPlace ? "cart" : await keepingFor(file.size);
  postMessage({ type: "plan", keeps });
  const [from, to] = inPlace ? [PAGE, pages * PAGE] : [0, file.size];
  // Pieces of the cart read again once the run is done: Firefox reads a
  // file as it is on disk now, and WebKit sees a change only in another
  // second than the file's last, so a cart that another program rewrote
  // during the run would give a copy of neither.
  const sample = new Sample(from, to);
  const cart = new CartBytes(await readerOf(file, from, to), sample, from);
  let copy = null;
  try {
    copy = inPlace ? null : await openCopy(keeps, file.size);
    const digest = copy && new Digest(WRITTEN);
    const write = copy && (async (bytes, at) => {
      digest.add(bytes);
      await copy.write(bytes, at);
    });
    if (copy) {
      const page0 = new Uint8Array(PAGE);
      await cart.whole(page0);
      await write(page0, 0);
    }
    await cart.whole(slot(0));  // page 1
    if (!engine._beginRun()) {
      if (copy) await copy.discard();
      return ending("not a cart", [text(engine._noSignature())]);
    }
    if (copy) await write(slot(0), PAGE);

    const block = engine._pagesPerBlock();
    const before = new Int32Array(Math.max(0, pages - 2));
    const after = new Int32Array(Math.max(0, pages - 2));
    let changed = false;
    let lastProgress = 0;
    for (let start = 2; start < pages;) {
      const count = Math.min(block, pages - start);
      await cart.whole(slot(1, count));
      engine._matchPages(count);
      for (let s = 1; s <= count; ++s) {
        before[start + s - 3] = engine._pixelChangesBefore(s);
        after[start + s - 3] = engine._pixelChangesAfter(s);
      }
      changed ||= engine._changedRunCount(1) > 0;
      if (copy) {
        await write(slot(1, count), start * PAGE);  // every page, as matched
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
      await cart.whole(tail);
      await write(tail, pages * PAGE);
    }
    if (!(await sample.same(file))) throw new Stop("Changed", { reading: true, started: true });
    let kept = null;
    if (!copy) {
      sendLent();
    } else if (keeps === "chosen folder") {
      // Wanted only if a page changed; the page checks it once written.
      lent = { size: file.size, digest: digest.value() };
      if (changed) await copy.finish();
    } else if (changed) {
      kept = await checked(copy, file.size, digest);
    } else {
      await copy.discard();
    }
    ending("complete", [text(engine._summary(pages))], { changed, before, after, copy: kept });
  } catch (error) {
    if (copy) await copy.discard().catch(() => {});
    const stop = error instanceof Stop ? error : new Stop(error && error.name);
    postMessage({ type: "failed", reason: stop.reason, reading: Boolean(stop.reading), started: Boolean(stop.started) });
  }
}

// A copy that the page wrote into the chosen folder, read back.
async function check({ file }) {
  const ok = lent !== null && file.size === lent.size && (await digestOf(file, READ_BACK).catch(() => null)) === lent.digest;
  lent = null;
  postMessage({ type: "checked", ok });
}

const handlers = {
  async load({ simd, canChoose: choose }) {
    engine = await (simd ? FrennickSimd : FrennickPlain)();
    store = await findStore();
    canChoose = choose;
    postMessage({ type: "ready", kernel: text(engine._kernelName()), keeps: usualKeeping() });
  },
  async run(data) {
    // The buffers of the last run serve again.
    while (spare.length < IN_FLIGHT) spare.push(new ArrayBuffer(LENT));
    filling = null;
    lent = null;
    await run(data);
  },
  written({ buffer }) {
    if (spare.length < IN_FLIGHT) spare.push(buffer);
    if (bufferArrived) bufferArrived();
  },
  chunk(data) {
    fedChunk(data);
  },
  check,
};

onmessage = ({ data }) => {
  const handle = handlers[data.type];
  if (handle) handle(data);
};
