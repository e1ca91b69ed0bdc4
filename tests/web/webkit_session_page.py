#!/usr/bin/python3
"""The page in an ordinary WebKitGTK session with the features Safari ships,
served over HTTP: there the copy is written into the origin's private file
system as a stream (a WebDriver session has no private file system, so
webkit_page.mjs never takes this path). Carts of sizes that are not a
multiple of the stream's pieces; every copy saved through a[download] and
compared with the native Frennick's cart, and nothing of it left in the
private file system once the page is loaded again. Exits 77 (skipped) with
the reason when what it needs is not installed. Run with Debian's
/usr/bin/python3 (python3-gi)."""

import os
import subprocess
import sys
import tempfile

from webkit_gtk import Session, available, serve, start_display

PAGE_FILE = os.environ.get("FRENNICK_PAGE", "")
PAGE = 8192
# Name, then the generator's options: each size is a few pages off a
# multiple of 4 MiB.
CARTS = [
    ("random, 300 pages", ["--random", "--pages", "300", "--seed", "2"]),
    ("video, 250 pages", ["--pages", "250", "--seed", "3"]),
    ("a tail", ["--pages", "40", "--tail", "777"]),
    ("random, 1030 pages and a tail", ["--random", "--pages", "1030", "--tail", "123", "--seed", "5"]),
]
COPY_FILES = """const names = [];
for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
return names;"""


def main():
    why = None if os.path.exists(PAGE_FILE) else "the page was not built: emscripten is not installed (Debian: emscripten)"
    why = why or available()
    if why:
        print(f"skipped: {why}")
        return 77
    work = tempfile.TemporaryDirectory(prefix="frennick-webkit-session-")
    xvfb = start_display()

    server, url = serve(PAGE_FILE)
    failed = 0
    session = Session(features=True)
    try:
        session.open(url)
        for name, options in CARTS:
            cart = os.path.join(work.name, "cart.bin")
            subprocess.run([os.environ["MAKE_DEMO_CART"], cart, *options], check=True, stdout=subprocess.DEVNULL)
            with open(cart, "rb") as f:
                original = f.read()
            native = os.path.join(work.name, "native.bin")
            with open(native, "wb") as f:
                f.write(original)
            words = subprocess.run([os.environ["FRENNICK"], native], capture_output=True, text=True).stdout
            with open(native, "rb") as f:
                expected = f.read()
            session.cart = cart
            session.choose()
            session.js("window.frennick.run(window.chosen, null); return true;")
            session.wait_for("['done', 'cancelled'].includes(document.body.dataset.state)")
            shown = session.js("""return { words: document.getElementById('messages').textContent,
                                            kept: document.body.dataset.copy || null,
                                            notice: document.getElementById('notice').textContent };""")
            saved = os.path.join(work.name, "saved.bin")
            outcome = session.save(saved)
            with open(saved, "rb") as f:
                copy = f.read()
            os.remove(saved)
            problems = [what for what, bad in (
                (f"words {shown['words']!r}", shown["words"] != words),
                (f"kept as {shown['kept']}", shown["kept"] != "private file"),
                (f"saving {outcome}", outcome != "finished"),
                (f"a copy of {len(copy)} bytes, {len(expected)} expected", len(copy) != len(expected)),
                ("a copy that differs from the native run's cart", copy != expected)) if bad]
            print(f"{'FAIL' if problems else 'ok'} WebKit, Safari's features, http, a stream copy: {name}"
                  + (": " + "; ".join(problems) + f" ({shown['notice']})" if problems else ""), flush=True)
            failed += bool(problems)
        session.open(url)
        left = session.js(COPY_FILES)
        print(f"{'FAIL' if left else 'ok'} WebKit, Safari's features: nothing left in the private file system"
              f" once the page is loaded again{': ' + ', '.join(left) if left else ''}")
        failed += bool(left)
    finally:
        session.close()
        server.shutdown()
        xvfb.kill()
        work.cleanup()
    print(f"{len(CARTS) + 1 - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
