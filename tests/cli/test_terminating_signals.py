"""Ctrl-C, kill and hang-up at any moment of a run: the signal waits for the
write in progress, so every page is left as it was or as one whole run
leaves it, never half-written; the process ends as killed by that signal,
and running again finishes the job."""

import os
import random
import signal
import subprocess
import tempfile
import time
import unittest

from cart_model import PAGE
from frennick_cli import EMULATOR, FRENNICK, WINDOWS, CartTestCase
import strace_io

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP) if not WINDOWS else ()
# A tmpfs writes at memory speed, which makes a write call long and fast
# enough that a signal lands inside one in most runs.
SHM = "/dev/shm"


def torn_pages(after, before, expected):
    """Pages that are neither as they were nor as a whole run leaves them."""
    return [n for n in range(len(after) // PAGE)
            if after[n * PAGE:(n + 1) * PAGE] not in
            (before[n * PAGE:(n + 1) * PAGE], expected[n * PAGE:(n + 1) * PAGE])]


@unittest.skipIf(WINDOWS, "POSIX signals")
class TerminatingSignals(CartTestCase):
    def cart_in_memory(self, name, pages):
        """A cart of random pages in a tmpfs, and what one whole run leaves."""
        if not os.path.isdir(SHM):
            self.skipTest(f"no tmpfs at {SHM}")
        work = tempfile.TemporaryDirectory(prefix="frennick-", dir=SHM)
        self.addCleanup(work.cleanup)
        cart = os.path.join(work.name, name)
        original = self.demo_cart(cart, "--random", "--pages", str(pages), "--tail", "99")
        self.write("whole.bin", original)
        self.assertEqual(self.frennick("whole.bin").status, 0)
        return cart, original, self.read("whole.bin")

    def start(self, cart):
        return subprocess.Popen([*EMULATOR, FRENNICK, cart], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)

    def test_signals_at_random_moments_never_tear_a_page(self):
        cart, original, expected = self.cart_in_memory("cart.bin", 4096)  # 32 MiB
        with open(cart, "wb") as f:
            f.write(original)
        began = time.monotonic()
        whole = self.start(cart)
        whole.communicate()
        length = time.monotonic() - began
        self.assertEqual(whole.returncode, 0)

        rng = random.Random(8)
        killed = 0
        for trial in range(48):
            with open(cart, "wb") as f:
                f.write(original)
            sent = rng.choice(SIGNALS)
            run = self.start(cart)
            time.sleep(rng.uniform(0.1, 1.0) * length)
            run.send_signal(sent)
            stdout, stderr = run.communicate(timeout=60)
            with self.subTest(trial=trial, signal=sent.name):
                if run.returncode != 0:
                    killed += 1
                    self.assertEqual(run.returncode, -sent, stderr)
                with open(cart, "rb") as f:
                    after = f.read()
                if stdout:  # the run was done before the signal came
                    self.assertEqual(stdout[:17], b"Process complete ")
                    self.assertTrue(after == expected, "a summary before the work was done")
                self.assertEqual(len(after), len(original))
                self.assertEqual(torn_pages(after, original, expected), [])
                again = subprocess.run([*EMULATOR, FRENNICK, cart], capture_output=True)
                self.assertEqual(again.returncode, 0)
                with open(cart, "rb") as f:
                    self.assertTrue(f.read() == expected, "a second run did not finish the job")
        print(f"{killed} of 48 runs ended by their signal")
        self.assertGreater(killed, 10, "too few signals landed inside a run to tell")

    @unittest.skipUnless(strace_io.sees_the_c_runtime(), "needs strace")
    def test_signal_during_a_write_ends_the_run_once_it_returns(self):
        # The signal arrives as the second write begins (pages 34 to 65):
        # that write completes, then the process dies before the third.
        cart, original, expected = self.cart_in_memory("cart.bin", 2 + 3 * 32 + 5)
        log = os.path.join(self.dir, "trace.log")
        for sent in SIGNALS + (signal.SIGQUIT,):
            with self.subTest(signal=sent.name):
                with open(cart, "wb") as f:
                    f.write(original)
                prefix = strace_io.strace_prefix(
                    cart, log, "-e", f"inject=write:signal={sent.name}:when=2")
                result = self.run_binary(FRENNICK, cart, prefix=prefix)
                self.assertEqual(result.status, -sent)
                self.assertEqual(result.stdout, "")
                with open(cart, "rb") as f:
                    after = f.read()
                done = 66 * PAGE
                self.assertTrue(after[:done] == expected[:done], "pages 2 to 65 not written")
                self.assertTrue(after[done:] == original[done:], "written past page 65")


if __name__ == "__main__":
    unittest.main()
