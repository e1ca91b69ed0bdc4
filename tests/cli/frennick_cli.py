"""Runs the real Frennick binary (and the demo cart generator) for the
command-line tests, each run in a fresh scratch folder."""

import os
import shlex
import subprocess
import tempfile
import unittest

FRENNICK = os.environ.get("FRENNICK", "Frennick")
MAKE_DEMO_CART = os.environ.get("MAKE_DEMO_CART", "make_demo_cart")
# A command that runs the binaries, e.g. "wine" for a Windows build.
EMULATOR = shlex.split(os.environ.get("FRENNICK_EMULATOR", ""))
# The system the binaries were built for: error numbers are its C runtime's.
WINDOWS = os.environ.get("FRENNICK_TARGET", os.name) in ("Windows", "nt")


class Result:
    def __init__(self, completed):
        # Windows consoles end lines with CR LF; the text is the same.
        self.stdout = completed.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        self.stderr = completed.stderr.decode("utf-8", "replace")
        self.status = completed.returncode


class CartTestCase(unittest.TestCase):
    """A scratch folder per test; paths in it are given relative to it."""

    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="frennick-")
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_binary(self, binary, *args, prefix=(), preexec=None, emulator=None):
        emulator = EMULATOR if emulator is None else emulator
        completed = subprocess.run(
            [*prefix, *emulator, binary, *args], cwd=self.dir,
            stdin=subprocess.DEVNULL, capture_output=True, timeout=600,
            preexec_fn=preexec)
        return Result(completed)

    def frennick(self, *args, prefix=(), preexec=None):
        result = self.run_binary(FRENNICK, *args, prefix=prefix, preexec=preexec)
        self.assertEqual(result.stderr, "", "nothing may go to standard error")
        return result

    def cart_in_memory(self, name, pages):
        """A cart of random pages in a tmpfs, which writes at memory speed, so
        that runs are long and fast enough for signals or a second run to
        land inside a write; and what one whole run leaves and prints."""
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no tmpfs at /dev/shm")
        work = tempfile.TemporaryDirectory(prefix="frennick-", dir="/dev/shm")
        self.addCleanup(work.cleanup)
        cart = os.path.join(work.name, name)
        original = self.demo_cart(cart, "--random", "--pages", str(pages), "--tail", "99")
        self.write("whole.bin", original)
        whole = self.frennick("whole.bin")
        self.assertEqual(whole.status, 0)
        return cart, original, self.read("whole.bin"), whole.stdout

    def demo_cart(self, name, *options):
        result = self.run_binary(MAKE_DEMO_CART, name, *options)
        self.assertEqual(result.status, 0, result.stderr)
        return self.read(name)
