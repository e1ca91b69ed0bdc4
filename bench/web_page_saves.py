#!/usr/bin/env python3
"""Saves of the browser page's processed copy, as a person saves it: the
link a[download] clicked in Debian's chromium (headless, downloads allowed
into a folder), on random carts, from file:// (the copy kept as blobs) and
from http://127.0.0.1 (the copy in the origin's private file system). Each
saved file must equal, by sha256, the native Frennick's result.

  bench/web_page_saves.py [SIZE_MIB:COUNT ...]    default: 512:10 1024:1 2048:1 4096:1
"""

import functools
import hashlib
import http.server
import os
import shutil
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


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 22), b""):
            digest.update(chunk)
    return digest.hexdigest()


def save_once(browser, url, cart, downloads):
    browser.call("Page.navigate", url=url)
    browser.wait_for("document.readyState === 'complete' && document.body.dataset.state === 'idle'")
    document = browser.call("DOM.getDocument")["root"]["nodeId"]
    node = browser.call("DOM.querySelector", nodeId=document, selector="input[type=file]")["nodeId"]
    browser.call("DOM.setFileInputFiles", files=[cart], nodeId=node)
    browser.wait_for("document.body.dataset.state === 'done'", timeout=1800)
    kept = browser.evaluate("document.body.dataset.copy")
    if not browser.evaluate("Boolean(document.querySelector('a[download]').href)"):
        return kept, "no copy offered", None
    browser.events.clear()
    browser.evaluate("document.querySelector('a[download]').click(), true")
    deadline = time.monotonic() + 1800
    while time.monotonic() < deadline:
        for event in browser.events:
            if event.get("method") == "Browser.downloadProgress" and \
                    event["params"]["state"] in ("completed", "canceled"):
                return kept, event["params"]["state"], event["params"]["guid"]
        browser.call("Browser.getVersion")  # takes in the events meanwhile
        time.sleep(0.2)
    return kept, "timed out", None


def main(plan):
    work = tempfile.mkdtemp(prefix="frennick-saves-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=os.path.dirname(PAGE_FILE)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    urls = {"file://": "file://" + PAGE_FILE,
            "http": f"http://127.0.0.1:{server.server_address[1]}/frennick.html"}
    # FRENNICK_SAVES_FROM=http (or file://) for one of the two only.
    only = os.environ.get("FRENNICK_SAVES_FROM")
    urls = {where: url for where, url in urls.items() if only in (None, where)}
    print("| cart | from | copy kept as | saves equal to the tool's | of |")
    print("|---|---|---|---|---|")
    for mib, count in plan:
        cart = os.path.join(work, "cart.bin")
        subprocess.run([MAKE_CART, cart, "--random", "--pages", str(mib * 128)],
                       check=True, stdout=subprocess.DEVNULL)
        native = os.path.join(work, "native.bin")
        shutil.copyfile(cart, native)
        subprocess.run([FRENNICK, native], check=True, stdout=subprocess.DEVNULL)
        expected = sha256(native)
        os.remove(native)
        for where, url in urls.items():
            good, kept = 0, ""
            for _ in range(count):
                browser = chromium_page.Browser()
                try:
                    browser.call("Browser.setDownloadBehavior", behavior="allowAndName",
                                 downloadPath=downloads, eventsEnabled=True)
                    kept, state, guid = save_once(browser, url, cart, downloads)
                finally:
                    browser.close()
                saved = os.path.join(downloads, guid) if guid else None
                if state == "completed" and sha256(saved) == expected:
                    good += 1
                else:
                    print(f"  {mib} MiB from {where}: {state}", flush=True)
                if saved and os.path.exists(saved):
                    os.remove(saved)
            print(f"| {mib} MiB | {where} | {kept} | {good} | {count} |", flush=True)
        os.remove(cart)
    server.shutdown()
    shutil.rmtree(work)


if __name__ == "__main__":
    main([tuple(int(n) for n in arg.split(":")) for arg in sys.argv[1:]]
         or [(512, 10), (1024, 1), (2048, 1), (4096, 1)])
