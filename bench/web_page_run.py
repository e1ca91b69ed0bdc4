#!/usr/bin/env python3
"""Whole runs of the browser page in Debian's chromium, headless, against
the browser's own floor, side by side: reading the same cart as a stream in
a Worker and writing the same bytes to the same place, with no matching. It
also samples the resident memory of the page's renderer process (the Worker
lives there) every 50 ms during the page's run, and gives the peak above its
idle figure just before.

  bench/web_page_run.py [SIZE_MIB ...]     default: 200 1024 2048

Paths: "copy, file://" (blobs), "copy, http" (the origin's private file
system), "in place, http" (a cart in the private file system, rewritten
through createWritable). Random carts, so that every page changes. Needs a
release build with the page (build/release/web-page/web/frennick.html) and
the native Frennick, whose time on the same cart is shown beside.
"""

import functools
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "cli"))
import chromium_page  # noqa: E402

BUILD = os.path.join(ROOT, "build", "release")
PAGE_FILE = os.path.join(BUILD, "web-page", "web", "frennick.html")
FRENNICK = os.path.join(BUILD, "tool", "Frennick")
MAKE_CART = os.path.join(BUILD, "demo", "make_demo_cart")

# The floor: the cart read as the page reads it and written where the page
# writes, with nothing matched.
FLOOR = r"""(async (mode) => {
  const source = `onmessage = async ({ data: { file, mode } }) => {
    const reader = file.stream().getReader();
    let at = 0;
    if (mode === 'copy-opfs') {
      const root = await navigator.storage.getDirectory();
      const handle = await root.getFileHandle('floor.bin', { create: true });
      const access = await handle.createSyncAccessHandle();
      for (;;) { const { done, value } = await reader.read(); if (done) break;
        access.write(value, { at }); at += value.length; }
      access.flush(); access.close(); postMessage(at);
    } else if (mode === 'copy-blobs') {
      const pieces = []; let staged = [], size = 0;
      for (;;) { const { done, value } = await reader.read(); if (done) break;
        staged.push(value); size += value.length; at += value.length;
        if (size >= 4 << 20) { pieces.push(new Blob(staged)); staged = []; size = 0; } }
      pieces.push(new Blob(staged)); const all = new Blob(pieces); postMessage(all.size);
    } else {
      for (;;) { const { done, value } = await reader.read(); if (done) break;
        postMessage(value, [value.buffer]); }
      postMessage(null);
    }
  };`;
  const worker = new Worker(URL.createObjectURL(new Blob([source])));
  const file = mode === 'in-place' ? await window.cartHandle.getFile() : window.chosen;
  const began = performance.now();
  let writable = mode === 'in-place'
    ? await window.cartHandle.createWritable({ keepExistingData: true }) : null;
  let at = 0, writing = Promise.resolve();
  await new Promise((resolve) => {
    worker.onmessage = ({ data }) => {
      if (writable && data) {
        const position = at; at += data.length;
        writing = writing.then(() => writable.write({ type: 'write', position, data }));
      } else {
        writing.then(resolve);
      }
    };
    worker.postMessage({ file, mode });
  });
  if (writable) await writable.close();
  worker.terminate();
  return performance.now() - began;
})"""


def parent(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])


def renderer_rss(browser_pid):
    """Resident KiB of the renderer processes of one chromium (its
    descendants): other browsers on the machine do not count."""
    total = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"--type=renderer" not in f.read():
                    continue
            ancestor = int(pid)
            while ancestor > 1 and ancestor != browser_pid:
                ancestor = parent(ancestor)
            if ancestor != browser_pid:
                continue
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


class Sampler:
    def __init__(self, browser_pid):
        self.browser_pid = browser_pid
        self.peak = 0
        self.running = True
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while self.running:
            self.peak = max(self.peak, renderer_rss(self.browser_pid))
            time.sleep(0.05)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


def main(sizes):
    work = tempfile.mkdtemp(prefix="frennick-web-bench-")

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=os.path.dirname(PAGE_FILE)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    http_url = f"http://127.0.0.1:{server.server_address[1]}/frennick.html"
    print("| cart | path | page s | floor s | page / floor | renderer peak above idle, MiB | native s |")
    print("|---|---|---|---|---|---|---|")
    for mib in sizes:
        cart = os.path.join(work, "cart.bin")
        subprocess.run([MAKE_CART, cart, "--random", "--pages", str(mib * 128)],
                       check=True, stdout=subprocess.DEVNULL)
        native_cart = os.path.join(work, "native.bin")
        subprocess.run(["cp", cart, native_cart], check=True)
        began = time.monotonic()
        subprocess.run([FRENNICK, native_cart], check=True, stdout=subprocess.DEVNULL)
        native = time.monotonic() - began
        os.remove(native_cart)
        for path, url, floor_mode in (("copy, file://", "file://" + PAGE_FILE, "copy-blobs"),
                                      ("copy, http", http_url, "copy-opfs"),
                                      ("in place, http", http_url, "in-place")):
            browser = chromium_page.Browser()
            try:
                times = run_one(browser, url, cart, path, floor_mode)
            finally:
                browser.close()
            page, floor, peak = times
            print(f"| {mib} MiB | {path} | {page:.1f} | {floor:.1f} | {page / floor:.2f} | "
                  f"{peak / 1024:.0f} | {native:.1f} |", flush=True)
        os.remove(cart)
    server.shutdown()
    os.rmdir(work)


def run_one(browser, url, cart, path, floor_mode):
    browser.call("Page.navigate", url=url)
    browser.wait_for("document.readyState === 'complete' && document.body.dataset.state === 'idle'")
    document = browser.call("DOM.getDocument")["root"]["nodeId"]
    node = browser.call("DOM.querySelector", nodeId=document, selector="input[type=file]")["nodeId"]
    in_place = path.startswith("in place")
    # The chosen file held back from the page, for the floor and in place.
    browser.evaluate("window.addEventListener('change', (event) => {"
                     " window.chosen = event.target.files[0]; event.stopImmediatePropagation();"
                     " }, { capture: true, once: true }), true")
    browser.call("DOM.setFileInputFiles", files=[cart], nodeId=node)
    browser.wait_for("window.chosen !== undefined")
    if in_place:
        browser.evaluate("""(async () => {
          const root = await navigator.storage.getDirectory();
          window.cartHandle = await root.getFileHandle('cart.bin', { create: true });
          const writable = await window.cartHandle.createWritable();
          await writable.write(window.chosen); await writable.close(); return true; })()""")
    # The page first, so that nothing the floor left behind counts.
    time.sleep(1)
    idle = renderer_rss(browser.process.pid)
    sampler = Sampler(browser.process.pid)
    began = time.monotonic()
    if in_place:
        browser.evaluate("window.cartHandle.getFile().then((file) =>"
                         " window.frennick.run(file, window.cartHandle)), true")
    else:
        browser.evaluate("window.frennick.run(window.chosen, null), true")
    browser.wait_for("document.body.dataset.state === 'done'", timeout=1800)
    page = time.monotonic() - began
    peak = sampler.stop()
    floor = browser.evaluate(f"({FLOOR})('{floor_mode}')") / 1000
    notice = browser.evaluate("document.getElementById('notice').textContent")
    if "changed in place" not in notice and "save the processed copy" not in notice:
        raise RuntimeError(notice)
    return page, floor, max(0, peak - idle)


if __name__ == "__main__":
    main([int(size) for size in sys.argv[1:]] or [200, 1024, 2048])
