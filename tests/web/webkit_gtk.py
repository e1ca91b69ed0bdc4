"""A WebKitGTK view in a window of its own, driven from Python as an
ordinary browsing session (python3-gi, gir1.2-webkit2-4.1): with its own
data folder, so that the origin's private file system exists (a WebDriver
session is ephemeral and has none), optionally with the features Safari
ships, the cart chosen in the page's file input through the file chooser,
and the copy saved through a[download]. The page's WebKit test and its
WebKit benchmark both use it. Run with Debian's /usr/bin/python3."""

import functools
import http.server
import json
import os
import subprocess
import tempfile
import threading
import time

# What Safari has that WebKitGTK leaves off by default.
SAFARI_FEATURES = ("FileSystem", "StorageAPI", "StorageAPIEstimate", "AccessHandle", "ReadableByteStreamAPI",
                   "FileSystemWritableStream")


def available():
    """Why a session cannot be had here, or None."""
    try:
        import gi
        gi.require_version("Gtk", "3.0")
        gi.require_version("WebKit2", "4.1")  # Gtk starts only on import, on the display set by then
    except (ImportError, ValueError) as error:
        return f"WebKitGTK from Python is not installed (Debian: python3-gi gir1.2-webkit2-4.1): {error}"
    if subprocess.run(["which", "Xvfb"], capture_output=True).returncode != 0:
        return "Xvfb is not installed (Debian: xvfb)"
    return None


def start_display():
    reading, writing = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writing), "-screen", "0", "1280x900x24",
                             "-nolisten", "tcp"], pass_fds=(writing,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(writing)
    with os.fdopen(reading) as number:
        os.environ["DISPLAY"] = ":" + number.readline().strip()
    return xvfb


def serve(page_file):
    """A quiet web server on a free local port for the page's folder, in a
    thread of its own: the server, and the page's address there."""

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Quiet, directory=os.path.dirname(page_file)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/{os.path.basename(page_file)}"


class Session:
    """One WebKitGTK view in a window, with a data folder of its own."""

    def __init__(self, features, cart=None):
        import gi
        gi.require_version("Gtk", "3.0")
        gi.require_version("WebKit2", "4.1")
        from gi.repository import GLib, Gtk, WebKit2
        self.GLib, self.WebKit2 = GLib, WebKit2
        self.data = tempfile.TemporaryDirectory(prefix="frennick-webkit-")
        # WebKitGTK's writable streams write to a temporary file that it
        # leaves behind after close(): kept in the session's folder, and
        # counted.
        self.tmp = os.path.join(self.data.name, "tmp")
        os.mkdir(self.tmp)
        os.environ["TMPDIR"] = self.tmp
        # Safari gives a browser's origin up to 60 % of the disk; WebKitGTK
        # 1 GiB unless told.
        manager = WebKit2.WebsiteDataManager(base_data_directory=self.data.name + "/data",
                                             base_cache_directory=self.data.name + "/cache",
                                             origin_storage_ratio=0.6)
        self.view = WebKit2.WebView(web_context=WebKit2.WebContext.new_with_website_data_manager(manager))
        settings = self.view.get_settings()
        all_features = WebKit2.Settings.get_all_features()
        for i in range(all_features.get_length()):
            feature = all_features.get(i)
            if features and feature.get_identifier() in SAFARI_FEATURES:
                settings.set_feature_enabled(feature, True)
        # The cart, chosen in the page's file input as a person would, and
        # the copy saved where the bench says.
        self.cart = cart
        self.view.connect("run-file-chooser", lambda view, request: request.select_files([self.cart]) or True)
        self.view.get_context().connect("download-started", self.download_started)
        self.saved = None
        self.window = Gtk.Window()
        self.window.set_default_size(1000, 800)
        self.window.add(self.view)
        self.window.show_all()

    def open(self, url):
        loop = self.GLib.MainLoop()
        handler = self.view.connect("load-changed", lambda view, event: event == self.WebKit2.LoadEvent.FINISHED
                                    and loop.quit())
        self.view.load_uri(url)
        loop.run()
        self.view.disconnect(handler)
        self.wait_for("document.body.dataset.state === 'idle'")

    def js(self, body, **arguments):
        """The value of an async function's body, with these arguments."""
        loop = self.GLib.MainLoop()
        out = {}

        def done(view, result):
            try:
                out["value"] = view.call_async_javascript_function_finish(result).to_json(0)
            except Exception as error:  # the script threw
                out["error"] = str(error)
            loop.quit()

        body = "".join(f"const {name} = {json.dumps(value)};\n" for name, value in arguments.items()) + body
        self.view.call_async_javascript_function(body, -1, None, None, None, None, done)
        loop.run()
        if "error" in out:
            raise RuntimeError(out["error"])
        return json.loads(out["value"]) if out["value"] else None

    def wait_for(self, expression, timeout=3600):
        deadline = time.monotonic() + timeout
        while not self.js(f"return Boolean({expression});"):
            if time.monotonic() > deadline:
                raise TimeoutError(expression)
            time.sleep(0.1)

    def choose(self):
        """The cart (self.cart) chosen in the file input, held back from the page."""
        self.js("""window.chosen = undefined;
          window.addEventListener('change', (event) => {
            window.chosen = event.target.files[0]; event.stopImmediatePropagation();
          }, { capture: true, once: true });
          const input = document.querySelector('input[type=file]');
          input.value = ''; input.click(); return true;""")
        self.wait_for("window.chosen !== undefined")

    def download_started(self, context, download):
        download.connect("decide-destination",
                         lambda download, name: download.set_destination("file://" + self.save_as) or True)
        download.connect("finished", lambda download: self.saved is None and setattr(self, "saved", "finished"))
        download.connect("failed", lambda download, error: setattr(self, "saved", f"failed: {error}"))

    def save(self, path):
        """The copy saved through a[download], as a person saves it."""
        self.save_as, self.saved = path, None
        self.js("document.querySelector('a[download]').click(); return true;")
        while self.saved is None:
            self.GLib.MainContext.default().iteration(True)
        return self.saved

    def left_behind(self):
        """Bytes of WebKit's temporary files in the session's folder."""
        return sum(entry.stat().st_size for entry in os.scandir(self.tmp))

    def close(self):
        self.window.destroy()
        self.data.cleanup()
