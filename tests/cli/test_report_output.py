"""The exit status tells the truth about the report: when the summary cannot
be written (standard output full or closed) the run exits 1, the cart
processed all the same, and no message ever lands in the cart."""

import os
import subprocess
import unittest

import cart_model
from frennick_cli import EMULATOR, FRENNICK, WINDOWS, CartTestCase
import strace_io


@unittest.skipIf(WINDOWS, "POSIX descriptors and /dev/full")
class ReportOutput(CartTestCase):
    def run_with_output(self, **how):
        return subprocess.run([*EMULATOR, FRENNICK, "cart.bin"], cwd=self.dir,
                              stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              timeout=600, **how)

    def check(self, result, expected):
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"")
        pages, sizes = cart_model.differing_pages(self.read("cart.bin"), expected)
        self.assertEqual((pages, sizes), ([], False))

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full here")
    def test_full_output(self):
        expected, _, _ = cart_model.run(self.demo_cart("cart.bin", "--pages", "40"))
        with open("/dev/full", "wb") as full:
            self.check(self.run_with_output(stdout=full), expected)

    def test_closed_output(self):
        # Closed, descriptor 1 would be the cart's, and a message flushed
        # while the cart is open would go into it.
        original = self.demo_cart("cart.bin", "--pages", "40", "--tail", "10")
        expected, _, _ = cart_model.run(original)
        self.check(self.run_with_output(preexec_fn=lambda: os.close(1)), expected)
        # A cart too short for page 1: its message goes nowhere, and not
        # into the cart.
        self.write("cart.bin", original[:9000])
        self.check(self.run_with_output(preexec_fn=lambda: os.close(1)), original[:9000])

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_closed_standard_error(self):
        # 2>&-: the cart must not become descriptor 2, where anything the C
        # runtime reports would land in it.
        original = self.demo_cart("cart.bin", "--pages", "40")
        expected, summary, _ = cart_model.run(original)
        log = os.path.join(self.dir, "trace.log")
        result = subprocess.run(
            [*strace_io.TRACER, "-e", "trace=openat", "-o", log, *EMULATOR, FRENNICK,
             "cart.bin"], cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            preexec_fn=lambda: os.close(2), timeout=600)
        self.assertEqual((result.stdout.decode(), result.returncode), (summary, 0))
        with open(log) as trace:
            opened = [line for line in trace if '"cart.bin"' in line]
        self.assertEqual(len(opened), 1, opened)
        self.assertNotRegex(opened[0], r"= [0-2]$", "the cart got a standard descriptor")
        self.assertEqual(cart_model.differing_pages(self.read("cart.bin"), expected),
                         ([], False))


if __name__ == "__main__":
    unittest.main()
