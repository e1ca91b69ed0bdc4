"""The browser page in Debian's chromium, headless, driven as a person would
through its hooks: the cart given to its one file input (or dropped), the
lines in #messages, the processed copy behind a[download]. Every cart gives
the bytes and the words the native Frennick gives."""

import base64
import functools
import hashlib
import http.server
import os
import threading
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

    def test_download_path_gives_the_tools_bytes_and_words(self):
        random_cart = self.demo_cart("random.bin", "--random", "--pages", "67", "--seed", "2")
        video = self.demo_cart("video.bin", "--pages", "80", "--seed", "3")
        tailed = self.demo_cart("tail.bin", "--pages", "40", "--tail", "777")
        two = self.demo_cart("two.bin", "--pages", "2")
        bad = bytearray(video)
        bad[cart_model.PAGE + 15] ^= 1
        carts = {"random": random_cart, "video": video, "tail": tailed, "two pages": two,
                 "too short": video[:2 * cart_model.PAGE - 1], "no signature": bytes(bad)}
        for engine, query in (("simd128", ""), ("bytewise", "?simd=off")):
            self.open_page("file://" + PAGE_FILE + query)
            self.assertIn(engine, self.browser.evaluate(
                "document.getElementById('engine').textContent"))
            for kind, data in carts.items():
                with self.subTest(engine=engine, cart=kind):
                    self.write("cart.bin", data)
                    self.choose("cart.bin")
                    shown = self.finished()
                    expected_words, expected_bytes = self.native("native.bin", data)
                    self.assertEqual(shown, expected_words)
                    copy = self.browser.evaluate(COPY)
                    if expected_words.startswith("Process complete"):
                        self.assertTrue(base64.b64decode(copy) == expected_bytes,
                                        "the copy differs from the native run's cart")
                        self.assertEqual(self.browser.evaluate(
                            "document.querySelector('a[download]').download"), "cart.bin")
                    else:
                        self.assertIsNone(copy, "a copy offered after a failure")
                    self.assertTrue(self.read("cart.bin") == data, "the chosen file changed")

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

    def test_in_place_and_cancelled(self):
        # In place goes through createWritable(): the cart is replaced only
        # when the run closes it. Served over HTTP, as from any web server.
        url = f"http://127.0.0.1:{self.server.server_address[1]}/{os.path.basename(PAGE_FILE)}"
        self.open_page(url)
        data = self.demo_cart("cart.bin", "--pages", "90", "--tail", "300", "--seed", "9")
        self.keep_the_choice("cart.bin")
        self.browser.evaluate("window.cartHandle.getFile().then("
                              "(file) => window.frennick.run(file, window.cartHandle)), true")
        shown = self.finished()
        expected_words, expected_bytes = self.native("native.bin", data)
        self.assertEqual(shown, expected_words)
        self.assertEqual(self.browser.evaluate(PRIVATE_FILE_DIGEST),
                         hashlib.sha256(expected_bytes).hexdigest())
        self.assertIsNone(self.browser.evaluate(COPY), "a copy offered after an in-place run")

        # Cancelled a third of the way through a 64 MiB cart: left as it was.
        data = self.demo_cart("big.bin", "--random", "--pages", "8192", "--seed", "4")
        self.open_page(url)
        self.keep_the_choice("big.bin")
        self.browser.evaluate("window.cartHandle.getFile().then("
                              "(file) => window.frennick.run(file, window.cartHandle)), true")
        self.browser.wait_for("document.querySelector('progress').value > 0.3")
        self.browser.evaluate("window.frennick.cancel(), true")
        self.assertEqual(self.finished(), "")
        self.assertEqual(self.browser.evaluate("document.body.dataset.state"), "cancelled")
        self.assertEqual(self.browser.evaluate(PRIVATE_FILE_DIGEST),
                         hashlib.sha256(data).hexdigest(), "a cancelled run changed the cart")


if __name__ == "__main__":
    unittest.main()
