"""Debian's chromium, headless, driven through the DevTools protocol: the
few calls the browser page's tests need, over a WebSocket client of the
standard library's own (no package to install, whatever Python runs it)."""

import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM = shutil.which("chromium")


class WebSocket:
    """Text frames to and from one DevTools target (RFC 6455, client side)."""

    def __init__(self, url):
        address, path = url[len("ws://"):].split("/", 1)
        host, port = address.split(":")
        self.sock = socket.create_connection((host, int(port)))
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {address}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                          .encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.sock.recv(1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError(head.decode(errors="replace"))

    def _exactly(self, size):
        data = b""
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                raise ConnectionError("the browser closed the connection")
            data += chunk
        return data

    def send(self, text):
        payload = text.encode()
        size = len(payload)
        head = bytes([0x81])  # a whole text frame
        if size < 126:
            head += bytes([0x80 | size])
        elif size < 1 << 16:
            head += bytes([0x80 | 126]) + struct.pack(">H", size)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", size)
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def receive(self):
        message = b""
        while True:
            first, second = self._exactly(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack(">H", self._exactly(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", self._exactly(8))[0]
            payload = self._exactly(size)
            opcode = first & 0x0F
            if opcode == 8:
                raise ConnectionError("the browser closed the connection")
            if opcode in (0, 1, 2):
                message += payload
                if first & 0x80:
                    return message.decode()


class Browser:
    """One chromium with a fresh profile, and its first tab: headless, or in
    a window on the X display `display` (Xvfb), where its permission prompts
    can be answered with keys."""

    def __init__(self, display=None):
        self.profile = tempfile.mkdtemp(prefix="frennick-chromium-")
        mode = ["--headless"] if display is None else ["--window-size=1200,850",
                                                       "--window-position=0,0"]
        env = dict(os.environ, **({} if display is None else {"DISPLAY": display}))
        # As root there is no sandbox; the network flags keep it from
        # reaching out at all.
        self.process = subprocess.Popen(
            [CHROMIUM, *mode, "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync",
             f"--user-data-dir={self.profile}", "--remote-debugging-port=0", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=env)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + 60
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.close()
                raise RuntimeError("chromium did not start")
            time.sleep(0.1)
        with open(port_file) as f:
            port = int(f.readline())
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list") as reply:
            tabs = [t for t in json.load(reply) if t["type"] == "page"]
        self.socket = WebSocket(tabs[0]["webSocketDebuggerUrl"])
        self.next_id = 0
        self.events = []

    def call(self, method, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.receive())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message["result"]
            self.events.append(message)

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page, awaited."""
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True, userGesture=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def wait_for(self, expression, timeout=120):
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise TimeoutError(expression)
            time.sleep(0.05)

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
