#!/usr/bin/python3
"""Whole runs of the browser page in WebKit (WebKitGTK, Safari's engine),
run after run in one ordinary browsing session with its own data folder (a
WebDriver session is ephemeral, and has no private file system), against
WebKit's own floor in the same sitting. It samples the resident memory of
WebKit's web process and network process every 50 ms and gives each one's
peak above its idle figure before the session's first run (so that a copy
kept from one run into the next shows), and the temporary files WebKit
leaves behind in the run (its own TMPDIR); and it saves the last run's copy
through a[download] and checks it against the native Frennick's cart.

  bench/web_page_webkit.py [--runs N] [SIZE_MIB ...]    default: 3 runs of 1024 2048

Paths: "features, http" (Safari's features: the copy written into the
origin's private file system as a stream), "defaults, http" and "defaults,
file://" (the copy kept as blobs; from a file the page reads the cart for
its Worker). The floor reads the cart the same way and writes the same
bytes to the same place, with no matching. Random carts, so that every page
changes. Needs Debian's python3-gi, gir1.2-webkit2-4.1 and xvfb, and a
release build with the page.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
from webkit_gtk import Session, serve, start_display  # noqa: E402
BUILD = os.path.join(ROOT, "build", "release")
PAGE_FILE = os.path.join(BUILD, "web-page", "web", "frennick.html")
FRENNICK = os.path.join(BUILD, "tool", "Frennick")
MAKE_CART = os.path.join(BUILD, "demo", "make_demo_cart")
SLICE = 64 << 20

# The floor: the cart read as the page reads it, written where the page
# writes its copy, nothing matched. `fed`: the page reads, the Worker writes.
FLOOR = r"""
const worker = new Worker(URL.createObjectURL(new Blob([`
  onmessage = async ({ data: { file, store, fed } }) => {
    let put, end;
    if (store === 'stream') {
      const root = await navigator.storage.getDirectory();
      const writable = await (await root.getFileHandle('floor.bin', { create: true })).createWritable();
      put = (bytes) => writable.write(bytes);
      end = () => writable.close();
    } else {
      const kept = [];
      put = async (bytes) => { kept.push(new Blob([bytes])); };
      end = async () => { self.floorCopy = new Blob(kept); };
    }
    let staging = new Uint8Array(4 << 20), staged = 0;
    const take = async (value) => {
      for (let done = 0; done < value.length;) {
        const n = Math.min(value.length - done, staging.length - staged);
        staging.set(value.subarray(done, done + n), staged);
        staged += n; done += n;
        if (staged === staging.length) { await put(staging); staging = new Uint8Array(4 << 20); staged = 0; }
      }
    };
    if (fed) {
      onmessage = async ({ data: chunk }) => {
        if (chunk) { await take(new Uint8Array(chunk)); postMessage('more'); return; }
        await put(staging.subarray(0, staged)); await end(); postMessage('done');
      };
      postMessage('more'); postMessage('more'); postMessage('more'); postMessage('more');
      return;
    }
    const reader = file.stream().getReader();
    for (;;) { const { done, value } = await reader.read(); if (done) break; await take(value); }
    await put(staging.subarray(0, staged)); await end(); postMessage('done');
  };`], { type: 'text/javascript' })));
const began = performance.now();
const reader = fed ? window.chosen.stream().getReader() : null;
await new Promise((resolve) => {
  worker.onmessage = async ({ data }) => {
    if (data === 'done') { resolve(); return; }
    const { done, value } = await reader.read();
    if (done) { worker.postMessage(null); return; }
    const buffer = value.byteOffset === 0 && value.byteLength === value.buffer.byteLength
      ? value.buffer : value.slice().buffer;
    worker.postMessage(buffer, [buffer]);
  };
  worker.postMessage({ file: window.chosen, store, fed });
});
const elapsed = performance.now() - began;
worker.terminate();
if (store === 'stream') await (await navigator.storage.getDirectory()).removeEntry('floor.bin');
return elapsed;
"""

def resident_kib():
    """Resident KiB of this process's WebKit web and network processes."""
    totals = {"web": 0, "network": 0}
    me = os.getpid()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read()
            kind = ("web" if b"WebKitWebProcess" in command
                    else "network" if b"WebKitNetworkProcess" in command else None)
            if kind is None:
                continue
            ancestor = int(pid)
            while ancestor > 1 and ancestor != me:
                with open(f"/proc/{ancestor}/stat") as f:
                    ancestor = int(f.read().rsplit(")", 1)[1].split()[1])
            if ancestor != me:
                continue
            with open(f"/proc/{pid}/status") as f:
                totals[kind] += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return totals


class Sampler:
    def __init__(self):
        self.peak = resident_kib()
        self.running = True
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while self.running:
            now = resident_kib()
            self.peak = {kind: max(self.peak[kind], now[kind]) for kind in now}
            time.sleep(0.05)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


def slice_digests(path):
    digests = []
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(SLICE), b""):
            digests.append(hashlib.sha256(chunk).hexdigest())
    return digests


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("sizes", type=int, nargs="*", default=[1024, 2048])
    options = parser.parse_args()
    xvfb = start_display()
    work = tempfile.mkdtemp(prefix="frennick-webkit-bench-")

    server, http_url = serve(PAGE_FILE)
    print("| cart | path | run | page s | floor s | page / floor | copy kept as | web process above idle, MiB "
          "| network process above idle, MiB | left in TMPDIR, MiB | copy | native s |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    try:
        for mib in options.sizes:
            cart = os.path.join(work, "cart.bin")
            subprocess.run([MAKE_CART, cart, "--random", "--pages", str(mib * 128)],
                           check=True, stdout=subprocess.DEVNULL)
            expected = os.path.join(work, "native.bin")
            subprocess.run(["cp", cart, expected], check=True)
            began = time.monotonic()
            subprocess.run([FRENNICK, expected], check=True, stdout=subprocess.DEVNULL)
            native = time.monotonic() - began
            digests = slice_digests(expected)
            os.remove(expected)
            for path, features, url, store, fed in (
                    ("features, http", True, http_url, "stream", False),
                    ("defaults, http", False, http_url, "blobs", False),
                    ("defaults, file://", False, "file://" + PAGE_FILE, "blobs", True)):
                session = Session(features, cart)
                try:
                    session.open(url)
                    # Idle is the session before its first run: a copy
                    # kept from one run to the next counts in the next.
                    time.sleep(1)
                    idle = resident_kib()
                    for run in range(1, options.runs + 1):
                        session.choose()
                        sampler = Sampler()
                        left = session.left_behind()
                        began = time.monotonic()
                        session.js("window.frennick.run(window.chosen, null); return true;")
                        session.wait_for("document.body.dataset.state === 'done'")
                        page = time.monotonic() - began
                        peak = sampler.stop()
                        left = (session.left_behind() - left) / (1 << 20)
                        kept = session.js("return document.body.dataset.copy || null;")
                        # Saved only after the last run: WebKitGTK keeps a
                        # copy that was downloaded for as long as the page
                        # is open, which would count in the next run.
                        copy = "-"
                        if run == options.runs:
                            saved = os.path.join(work, "saved.bin")
                            outcome = session.save(saved)
                            copy = outcome if outcome != "finished" else (
                                "exact" if slice_digests(saved) == digests else "DIFFERS")
                            if os.path.exists(saved):
                                os.remove(saved)
                        floor = session.js(FLOOR, store=store, fed=fed) / 1000
                        above = {kind: max(0, peak[kind] - idle[kind]) / 1024 for kind in peak}
                        print(f"| {mib} MiB | {path} | {run} | {page:.1f} | {floor:.1f} | {page / floor:.2f} | "
                              f"{kept} | {above['web']:.0f} | {above['network']:.0f} | {left:.0f} | {copy} | "
                              f"{native:.1f} |",
                              flush=True)
                finally:
                    session.close()
            os.remove(cart)
    finally:
        server.shutdown()
        xvfb.kill()
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
