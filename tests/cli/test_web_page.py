"""The browser page in Debian's chromium, headless, driven as a person would
through its hooks: the cart given to its one file input (or dropped), the
lines in #messages, the processed copy behind a[download]. Every cart gives
the bytes and the words the native Frennick gives."""

import base64
import functools
import hashlib
import http.server
import os
import shutil
import subprocess
import threading
import time
import unittest

import cart_model
from frennick_cli import FRENNICK, WINDOWS, CartTestCase
import chromium_page

PAGE_FILE = os.environ.get("FRENNICK_PAGE", "")


def unavailable():
    if WINDOWS or os.environ.get("FRENNICK_EMULATOR"):
        return "the page is checked against a native Linux Frennick"
    if not os.path.exists(PAGE_FILE):
        return "the page was not built: emscripten is not installed (Debian: emscripten)"
    if chromium_page.CHROMIUM is None:
        return "chromium is not installed (Debian: chromium)"
    return None


COPY = """(async () => {
  const link = document.querySelector('a[download]');
  if (!link.href) return null;
  const bytes = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
  let text = '';
  for (let i = 0; i < bytes.length; i += 32768)
    text += String.fromCharCode.apply(null, bytes.subarray(i, i + 32768));
  return btoa(text);
})()"""

# The cart chosen in the file input, kept from the page's own handler and
# copied into a file of the origin's private file system: a file the page
# may write in place with no prompt, which a headless browser cannot answer.
INTO_PRIVATE_FILE = """(async () => {
  const root = await navigator.storage.getDirectory();
  window.cartHandle = await root.getFileHandle('cart.bin', { create: true });
  const writable = await window.cartHandle.createWritable();
  await writable.write(window.chosen);
  await writable.close();
  return true;
})()"""

PRIVATE_FILE_DIGEST = """(async () => {
  const bytes = await (await window.cartHandle.getFile()).arrayBuffer();
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
})()"""


@unittest.skipIf(unavailable(), unavailable())
class WebPage(CartTestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = chromium_page.Browser()
        cls.browser.call("Page.enable")
        # The same page from a static web server on this machine.
        class Quiet(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        handler = functools.partial(Quiet, directory=os.path.dirname(PAGE_FILE))
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.browser.close()

    def open_page(self, url):
        self.browser.call("Page.navigate", url=url)
        self.browser.wait_for(
            "document.readyState === 'complete' && document.body.dataset.state === 'idle'")

    def choose(self, name):
        """Gives the cart to the page's one file input, as a person picking it."""
        document = self.browser.call("DOM.getDocument")["root"]["nodeId"]
        inputs = self.browser.call("DOM.querySelectorAll", nodeId=document,
                                   selector="input[type=file]")["nodeIds"]
        self.assertEqual(len(inputs), 1, "exactly one file input")
        self.browser.call("DOM.setFileInputFiles", files=[self.path(name)], nodeId=inputs[0])

    def finished(self):
        self.browser.wait_for("['done', 'cancelled'].includes(document.body.dataset.state)")
        return self.browser.evaluate("document.getElementById('messages').textContent")

    def native(self, name, data):
        """What the native Frennick prints and leaves for these bytes."""
        self.write(name, data)
        result = self.frennick(name)
        return result.stdout, self.read(name)

    def notice(self):
        return self.browser.evaluate("document.getElementById('notice').textContent")

    def copy_offered(self):
        return self.browser.evaluate(
            "(() => { const link = document.querySelector('a[download]');"
            " return Boolean(link.href) && !link.hidden; })()")

    def test_download_path_gives_the_tools_bytes_and_words(self):
        random_cart = self.demo_cart("random.bin", "--random", "--pages", "67", "--seed", "2")
        video = self.demo_cart("video.bin", "--pages", "80", "--seed", "3")
        tailed = self.demo_cart("tail.bin", "--pages", "40", "--tail", "777")
        two = self.demo_cart("two.bin", "--pages", "2")
        bad = bytearray(video)
        bad[cart_model.PAGE + 15] ^= 1
        _, matched = self.native("matched.bin", tailed)
        # What the page must say of each outcome, besides the tool's lines.
        carts = {"random": (random_cart, "save the processed copy"),
                 "video": (video, "save the processed copy"),
                 "tail": (tailed, "save the processed copy"),
                 "already matched": (matched, "nothing needed changing, so there is no copy"),
                 "two pages": (two, "nothing needed changing, so there is no copy"),
                 "too short": (video[:2 * cart_model.PAGE - 1], "Nothing was changed: cart.bin is too short"),
                 "no signature": (bytes(bad), "Nothing was changed: cart.bin is not a video cart")}
        for engine, query in (("simd128", ""), ("bytewise", "?simd=off")):
            self.open_page("file://" + PAGE_FILE + query)
            self.assertIn(engine, self.browser.evaluate(
                "document.getElementById('engine').textContent"))
            for kind, (data, notice) in carts.items():
                with self.subTest(engine=engine, cart=kind):
                    self.write("cart.bin", data)
                    self.choose("cart.bin")
                    shown = self.finished()
                    expected_words, expected_bytes = self.native("native.bin", data)
                    self.assertEqual(shown, expected_words)
                    self.assertIn(notice, self.notice())
                    if expected_bytes != data:
                        self.assertTrue(self.copy_offered())
                        self.assertTrue(base64.b64decode(self.browser.evaluate(COPY)) == expected_bytes,
                                        "the copy differs from the native run's cart")
                        self.assertEqual(self.browser.evaluate(
                            "document.querySelector('a[download]').download"), "cart.bin")
                        # The plot: the pixels that change from page to page
                        # as the cart was, and as it is after the run.
                        split = lambda cart: [cart[n * cart_model.PAGE:(n + 1) * cart_model.PAGE]
                                              for n in range(len(cart) // cart_model.PAGE)]
                        self.assertEqual(self.browser.evaluate("window.frennick.plotted"), {
                            "before": cart_model.pixel_changes(split(data)),
                            "after": cart_model.pixel_changes(split(expected_bytes))})
                        # The copy is the browser's own: it still saves once
                        # the original has changed.
                        self.write("cart.bin", data[:100])
                        self.assertTrue(base64.b64decode(self.browser.evaluate(COPY)) == expected_bytes)
                    else:
                        self.assertFalse(self.copy_offered(), "a copy offered with nothing changed")
                    self.assertTrue(self.read("native.bin") == expected_bytes)

    def test_a_dropped_cart(self):
        # A drop carries the file; with no handle to write it through, the
        # page offers the processed copy.
        self.open_page("file://" + PAGE_FILE)
        data = self.demo_cart("dropped.bin", "--pages", "50", "--tail", "10")
        self.keep_the_choice("dropped.bin", private=False)
        self.browser.evaluate(
            "(() => { const carried = new DataTransfer(); carried.items.add(window.chosen);"
            " document.dispatchEvent(new DragEvent('drop', { dataTransfer: carried,"
            " cancelable: true })); return true; })()")
        expected_words, expected_bytes = self.native("native.bin", data)
        self.assertEqual(self.finished(), expected_words)
        self.assertTrue(base64.b64decode(self.browser.evaluate(COPY)) == expected_bytes)

    def keep_the_choice(self, name, private=True):
        """The chosen cart, held back from the page's own handler (and put in
        the origin's private file system)."""
        self.browser.evaluate(
            "window.addEventListener('change', (event) => {"
            " window.chosen = event.target.files[0]; event.stopImmediatePropagation();"
            " }, { capture: true, once: true }), true")
        self.choose(name)
        self.browser.wait_for("window.chosen !== undefined")
        if private:
            self.browser.evaluate(INTO_PRIVATE_FILE)

    def run_in_place(self):
        self.browser.evaluate("window.cartHandle.getFile().then("
                              "(file) => window.frennick.run(file, window.cartHandle)), true")

    def test_in_place_and_cancelled(self):
        # In place goes through createWritable(): the cart is replaced only
        # when the run closes it, and it is opened for writing only once a
        # page has changed. Served over HTTP, as from any web server.
        url = f"http://127.0.0.1:{self.server.server_address[1]}/{os.path.basename(PAGE_FILE)}"
        data = self.demo_cart("cart.bin", "--pages", "90", "--tail", "300", "--seed", "9")
        expected_words, expected_bytes = self.native("native.bin", data)
        _, twice = self.native("native.bin", expected_bytes)
        self.assertTrue(twice == expected_bytes)
        count_openings = ("(() => { const real = window.cartHandle.createWritable.bind(window.cartHandle);"
                          " window.openings = 0; window.cartHandle.createWritable = (...how) =>"
                          " { ++window.openings; return real(...how); }; return true; })()")
        refuse = ("(() => { window.cartHandle.createWritable = async () =>"
                  " { throw new DOMException('no', 'NotAllowedError'); }; return true; })()")
        hold = ("window.cartHandle.createWritable({ keepExistingData: true, mode: 'exclusive' })"
                ".then((held) => { window.held = held; return true; })")
        for case, cart, setup, words, notice, after, opened in (
                ("changed", data, count_openings, expected_words,
                 "cart.bin was changed in place.", expected_bytes, 1),
                ("already matched", expected_bytes, count_openings,
                 expected_words.replace(expected_words.split(" patches")[0].rsplit(" ", 1)[1] + " patches", "0 patches"),
                 "nothing needed changing, so the cart was not written", expected_bytes, 0),
                ("permission refused", data, refuse, expected_words,
                 "Permission to change cart.bin was refused", data, None),
                ("in use by another tab", data, hold, "", "being changed by another tab",
                 data, None)):
            with self.subTest(case=case):
                self.open_page(url)
                self.write("cart.bin", cart)
                self.keep_the_choice("cart.bin")
                self.browser.evaluate(setup)
                modified = self.browser.evaluate(
                    "window.cartHandle.getFile().then((file) => file.lastModified)")
                self.run_in_place()
                shown = self.finished()
                if case != "already matched":
                    self.assertEqual(shown, words)
                else:
                    self.assertTrue(shown.startswith("Process complete after 90 pages, 0 patches"), shown)
                self.assertIn(notice, self.notice())
                self.assertEqual(self.browser.evaluate(PRIVATE_FILE_DIGEST),
                                 hashlib.sha256(after).hexdigest())
                if opened is not None:
                    self.assertEqual(self.browser.evaluate("window.openings"), opened)
                if case == "already matched":
                    self.assertEqual(self.browser.evaluate(
                        "window.cartHandle.getFile().then((file) => file.lastModified)"), modified)
                if case == "permission refused":
                    self.assertTrue(base64.b64decode(self.browser.evaluate(COPY)) == expected_bytes)
                else:
                    self.assertFalse(self.copy_offered(), "a copy offered after an in-place run")

        # A 64 MiB cart: while it runs, the controls are off and a second
        # cart gets a visible "in progress"; cancelled a third of the way
        # through, it is left as it was.
        data = self.demo_cart("big.bin", "--random", "--pages", "8192", "--seed", "4")
        self.open_page(url)
        self.keep_the_choice("big.bin")
        self.run_in_place()
        self.browser.wait_for("document.querySelector('progress').value > 0.1")
        self.assertTrue(self.browser.evaluate(
            "document.getElementById('cart').disabled && document.getElementById('busy').hidden"))
        self.browser.evaluate("window.frennick.run(new File([], 'other.bin'), null), true")
        self.assertFalse(self.browser.evaluate("document.getElementById('busy').hidden"))
        self.browser.wait_for("document.querySelector('progress').value > 0.3")
        self.browser.evaluate("window.frennick.cancel(), true")
        self.assertEqual(self.finished(), "")
        self.assertEqual(self.browser.evaluate("document.body.dataset.state"), "cancelled")
        self.assertIn("Cancelled", self.notice())
        self.assertEqual(self.browser.evaluate(PRIVATE_FILE_DIGEST),
                         hashlib.sha256(data).hexdigest(), "a cancelled run changed the cart")

        # The cart changed on disk by another program after it was chosen:
        # the run stops and says so, with no copy.
        self.browser.evaluate("window.cartHandle.getFile().then(async (file) => {"
                              " const other = await window.cartHandle.createWritable({ keepExistingData: true });"
                              " await other.write({ type: 'write', position: 0, data: new Uint8Array(8) });"
                              " await other.close(); window.frennick.run(file, null); return true; })")
        self.assertEqual(self.finished(), "")
        self.assertIn("changed on disk during the run", self.notice())
        self.assertFalse(self.copy_offered())

    def test_a_clean_console(self):
        # Nothing logged as an error or a warning on load and through a
        # run, in either build.
        self.demo_cart("cart.bin", "--pages", "40", "--seed", "5")
        for query in ("", "?simd=off"):
            with self.subTest(query=query):
                self.browser.call("Log.enable")
                self.browser.call("Runtime.enable")
                self.browser.events.clear()
                self.open_page("file://" + PAGE_FILE + query)
                self.choose("cart.bin")
                self.finished()
                self.browser.evaluate("new Promise((done) => setTimeout(() => done(true), 500))")
                logged = [e for e in self.browser.events
                          if (e.get("method") == "Log.entryAdded"
                              and e["params"]["entry"]["level"] in ("error", "warning"))
                          or (e.get("method") == "Runtime.consoleAPICalled"
                              and e["params"]["type"] in ("error", "warning"))
                          or e.get("method") == "Runtime.exceptionThrown"]
                self.assertEqual(logged, [])
                self.browser.call("Log.disable")
                self.browser.call("Runtime.disable")

def no_display():
    if unavailable():
        return unavailable()
    for program, package in (("Xvfb", "xvfb"), ("xdotool", "xdotool"), ("chattr", "e2fsprogs")):
        if shutil.which(program) is None:
            return f"{program} is not installed (Debian: {package})"
    return None


@unittest.skipIf(no_display(), no_display())
class RealDiskFile(CartTestCase):
    """The in-place path on a file on disk, as a person takes it: the cart
    dropped onto the page in a real window (Xvfb), the browser's question
    "Save changes to cart.bin?" answered from the keyboard."""

    @classmethod
    def setUpClass(cls):
        reading, writing = os.pipe()
        cls.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writing), "-screen", "0",
                                     "1280x900x24", "-nolisten", "tcp"],
                                    pass_fds=(writing,), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        os.close(writing)
        with os.fdopen(reading) as number:
            cls.display = ":" + number.readline().strip()
        cls.browser = chromium_page.Browser(display=cls.display)
        cls.browser.call("Page.enable")

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.xvfb.kill()
        cls.xvfb.wait()

    def drop(self, path):
        self.browser.call("Page.navigate", url="file://" + PAGE_FILE)
        self.browser.wait_for(
            "document.readyState === 'complete' && document.body.dataset.state === 'idle'")
        for kind in ("dragEnter", "dragOver", "drop"):
            self.browser.call("Input.dispatchDragEvent", type=kind, x=300, y=300,
                              data={"items": [], "files": [path], "dragOperationsMask": 1})

    def answer_save_changes(self):
        """The browser's question is up: its focus is on Cancel."""
        self.browser.wait_for("document.body.dataset.state === 'asking'")
        time.sleep(0.5)  # the question on screen
        subprocess.run(["xdotool", "key", "Tab", "Return"], check=True,
                       env=dict(os.environ, DISPLAY=self.display))

    def test_a_cart_dropped_onto_the_page(self):
        data = self.demo_cart("cart.bin", "--random", "--pages", "300", "--seed", "7")
        self.write("native.bin", data)
        expected_words = self.frennick("native.bin").stdout
        expected = self.read("native.bin")
        # A name for each: the browser remembers the permission per file.
        for case, name in (("changes", "cart.bin"), ("needs nothing", "matched.bin"),
                           ("read-only", "readonly.bin")):
            with self.subTest(case=case):
                cart = self.path(name)
                self.write(name, expected if case == "needs nothing" else data)
                if case == "read-only":  # for root too
                    subprocess.run(["chattr", "+i", cart], check=True)
                before = os.stat(cart)
                try:
                    self.drop(cart)
                    if case != "needs nothing":
                        self.answer_save_changes()
                    self.browser.wait_for("document.body.dataset.state === 'done'")
                finally:
                    if case == "read-only":
                        subprocess.run(["chattr", "-i", cart], check=True)
                notice = self.browser.evaluate("document.getElementById('notice').textContent")
                shown = self.browser.evaluate("document.getElementById('messages').textContent")
                after = os.stat(cart)
                if case == "changes":
                    self.assertEqual(shown, expected_words)
                    self.assertIn("cart.bin was changed in place", notice)
                    self.assertTrue(self.read(name) == expected)
                elif case == "needs nothing":
                    self.assertTrue(shown.startswith("Process complete after 300 pages, 0 patches"))
                    self.assertIn("the cart was not written", notice)
                    self.assertEqual((after.st_ino, after.st_mtime_ns),
                                     (before.st_ino, before.st_mtime_ns))
                else:
                    self.assertIn("read-only", notice)
                    self.assertTrue(self.read(name) == data)
                    self.assertTrue(base64.b64decode(self.browser.evaluate(COPY)) == expected)


if __name__ == "__main__":
    unittest.main()
