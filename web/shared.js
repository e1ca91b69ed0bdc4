// What the page and its Worker share: the messages between them, the
// cart's page size, how a file is read slice by slice, and how a run stops.
// It comes first in both scripts.
//
// The messages, in the order a run sends them. Every one is an object with
// its `type`; each side has one dispatcher, from type to handler.
//
// | type | from | when | carries |
// |---|---|---|---|
// | load | page | a Worker starts | simd: which build of the module; canChoose: the page can write a copy into a folder the user chooses |
// | ready | Worker | the module loaded, the store for copies found | kernel; keeps: where a copy goes ("private file", "chosen folder", "blobs") |
// | run | page | a cart to process | file; inPlace: the page writes the changed pages into the cart itself |
// | plan | Worker | before the cart is read | keeps: where this run's pages go ("cart" in place, else as in ready, "blobs" where the private file system has no room) |
// | feed | Worker | it may not read a file (the cart, or a copy to check) itself | id: this feed's; file; from, to: the bytes to read; ahead: chunks to keep on their way |
// | chunk | page | fed, each chunk read | id; buffer: exactly the chunk; null at the end; or failed: why not |
// | fed | Worker | fed, a chunk taken | id: the page may read one more for it |
// | progress | Worker | at most every 100 ms | done, from 0 to 1 |
// | runs | Worker | a lent buffer is full, or the last one (in place, and a copy in a chosen folder) | buffer; runs: [{ offset, at, size }], `size` bytes from `at` in the buffer that belong at `offset` |
// | written | page | a lent buffer's runs are written | buffer, given back |
// | end | Worker | the run is done, its copy checked | outcome ("complete", "short", "not a cart"); lines: the tool's; examined; changed; before, after: pixels changed from page to page; copy: the copy (File or Blob) where the Worker keeps it |
// | failed | Worker | the run stopped | reason: a name; reading: the cart could not be read; started: some of it had been |
// | check | page | a copy in the chosen folder is written and closed | file: that copy |
// | checked | Worker | the check is done | ok: the copy holds exactly the bytes handed over for it |
"use strict";

const PAGE = 8192;
// A file is read a slice at a time: WebKit reads the whole of a Blob's
// stream as fast as it can, however slowly it is taken, and would hold a
// whole cart in memory. A read that brings nothing for STALL milliseconds
// is begun again where it stopped.
const SLICE = 8 * 1024 * 1024;
const STALL = 5000;

// Why a run stopped, by name; `reading` when it was the cart that failed.
class Stop extends Error {
  constructor(reason, fields = {}) {
    super(reason);
    this.reason = reason;
    Object.assign(this, fields);
  }
}

// Bytes `from` to `to` of a file or blob, a chunk at a time: a slice at a
// time, through one buffer of the reader's own where the stream lets it
// bring one (a buffer per chunk would leave memory to the garbage
// collector's pace). A read that stalls is begun again where it stopped
// (Chromium's reads of a file in a Worker have stalled for good, now and
// then, while the page wrote a chosen file), each time waiting twice as
// long. A slice that ends early means the file got shorter.
class SliceReader {
  constructor(file, from, to) {
    this.file = file;
    this.at = from;
    this.to = to;
    this.end = from;
    this.reader = null;
    this.buffer = null;
    this.patience = STALL;
  }

  open() {
    if (this.at >= this.to) return false;
    this.end = Math.min(this.to, this.at + SLICE);
    const stream = this.file.slice(this.at, this.end).stream();
    try {
      this.reader = stream.getReader({ mode: "byob" });
      this.buffer ||= new ArrayBuffer(1 << 20);
    } catch {
      this.reader = stream.getReader();
      this.buffer = null;
    }
    return true;
  }

  // The next read's result, or null when it stalled and was given up.
  async read() {
    const result = (this.buffer ? this.reader.read(new Uint8Array(this.buffer)) : this.reader.read())
      .catch((error) => { throw new Stop(error && error.name, { reading: true }); });
    let timer = null;
    const stalled = new Promise((resolve) => { timer = setTimeout(resolve, this.patience, null); });
    const settled = await Promise.race([result, stalled]);
    clearTimeout(timer);
    if (settled) {
      this.patience = STALL;
      return settled;
    }
    this.patience *= 2;
    this.reader.cancel().catch(() => {});
    this.reader = null;
    if (this.buffer) this.buffer = new ArrayBuffer(this.buffer.byteLength);  // the old one went with the read
    return null;
  }

  // The next chunk (valid until the next call), or null at `to`.
  async next() {
    for (;;) {
      if (!this.reader && !this.open()) return null;
      const result = await this.read();
      if (!result) continue;
      const { done, value } = result;
      if (this.buffer) this.buffer = value ? value.buffer : new ArrayBuffer(1 << 20);
      if (done) {
        this.reader = null;
        if (this.at < this.end) throw new Stop("Shrank", { reading: true });
        continue;
      }
      if (value.length === 0) continue;
      this.at += value.length;
      return value;
    }
  }
}

// Exactly these bytes in a buffer of their own: what every writable is
// given. WebKit's writable stream writes the whole buffer behind a view,
// from its start.
const exactBytes = (view) =>
  (view.byteOffset === 0 && view.byteLength === view.buffer.byteLength ? view : view.slice());
