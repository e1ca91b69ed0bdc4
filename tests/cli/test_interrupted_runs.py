"""A run killed at any of its writes (or reads) and then run again leaves the
cart byte for byte as one uninterrupted run would; a run started while
another holds the cart is refused and changes nothing."""

import fcntl
import os
import struct
import subprocess
import time
import unittest

import cart_model
from cart_model import PAGE
from frennick_cli import EMULATOR, FRENNICK, WINDOWS, CartTestCase
import strace_io


def in_use(path):
    return f"failed to lock '{path}': it is in use by another program!\n"


@unittest.skipUnless(strace_io.available(), "strace is not installed")
class InterruptedRuns(CartTestCase):
    def interrupted_then_rerun(self, original, kill_at):
        self.write("cart.bin", original)
        prefix = strace_io.strace_prefix(self.path("cart.bin"), self.path("trace.log"),
                                          "-e", f"inject={kill_at}:signal=SIGKILL")
        killed = self.run_binary(FRENNICK, "cart.bin", prefix=prefix)
        return killed, self.frennick("cart.bin")

    def check_all_points(self, original, points):
        expected, _, _ = cart_model.run(original)
        for kill_at in points:
            with self.subTest(kill_at=kill_at):
                killed, again = self.interrupted_then_rerun(original, kill_at)
                self.assertNotEqual(killed.status, 0, "the run was not killed")
                self.assertEqual(again.status, 0)
                pages, sizes = cart_model.differing_pages(self.read("cart.bin"), expected)
                self.assertEqual((pages, sizes), ([], False))

    def test_killed_at_each_write_of_a_cart_of_random_pages(self):
        original = self.demo_cart("orig.bin", "--random", "--pages", "101", "--tail", "77")
        self.check_all_points(original, [f"{strace_io.WRITE}:when={n}" for n in (1, 2, 3, 4)])

    def test_killed_at_writes_and_reads_of_a_video_cart(self):
        # Every fifth page already matches the page before it and stays, so
        # the changed pages go out in many short writes.
        data = bytearray(self.demo_cart("orig.bin", "--pages", "80", "--seed", "4"))
        tally = {"patches": 0, "fixed": 0, "examined": 0}
        previous = data[PAGE:2 * PAGE]
        for n in range(2, len(data) // PAGE):
            if n % 5 == 0:
                data[n * PAGE:(n + 1) * PAGE] = previous
            current = data[n * PAGE:(n + 1) * PAGE]
            cart_model.match_page(previous, current, tally)
            previous = current
        self.check_all_points(bytes(data), [f"{strace_io.WRITE}:when={n}" for n in (1, 2, 5, 9)]
                             + [f"{strace_io.READ}:when=3"])


@unittest.skipIf(WINDOWS, "POSIX locks; the Windows share mode is tested under wine")
class OneRunAtATime(CartTestCase):
    def test_cart_locked_by_another_program(self):
        # As flock(1) or another Frennick holds it, or a program that takes
        # record locks (lockf, fcntl; QEMU locks its images with an open
        # file's own lock): refused at once, shared locks and a lock on a
        # few bytes past page 1 included, since a run writes there.
        original = self.demo_cart("cart.bin", "--random", "--pages", "40")
        whole_file = struct.pack("hhxxxxqqixxxx", fcntl.F_WRLCK, 0, 0, 0, 0)
        holders = {
            "flock": lambda held: fcntl.flock(held, fcntl.LOCK_EX),
            "shared flock": lambda held: fcntl.flock(held, fcntl.LOCK_SH),
            "lockf": lambda held: fcntl.lockf(held, fcntl.LOCK_EX),
            "shared record lock": lambda held: fcntl.lockf(held, fcntl.LOCK_SH),
            "record lock on page 10": lambda held: fcntl.lockf(held, fcntl.LOCK_EX, 16, 10 * PAGE),
            "open file lock": lambda held: fcntl.fcntl(held, fcntl.F_OFD_SETLK, whole_file),
        }
        for holder, take in holders.items():
            with self.subTest(holder=holder):
                with open(self.path("cart.bin"), "r+b") as held:
                    take(held)
                    result = self.frennick("cart.bin")
                self.assertEqual((result.stdout, result.status), (in_use("cart.bin"), 1))
                self.assertTrue(self.read("cart.bin") == original, "the cart was changed")

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_two_runs_at_once(self):
        # The first run is held for 5 s just after it has taken the cart
        # (strace delays the return of its flock), and the second starts once
        # that lock shows in /proc/locks: the two surely overlap. The second
        # is refused before it reads; the first then ends as one whole run.
        # Without the lock, the second would read pages the first is
        # halfway through writing and write them back torn.
        cart, _, expected, summary = self.cart_in_memory("cart.bin", 2048)  # 16 MiB
        first = subprocess.Popen(
            [*strace_io.TRACER, "-o", os.devnull, "-e", "trace=flock",
             "-e", "inject=flock:delay_exit=5000000", *EMULATOR, FRENNICK, cart],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        held = f":{os.stat(cart).st_ino} "
        deadline = time.monotonic() + 60
        while True:
            with open("/proc/locks", encoding="ascii") as locks:
                if any(held in line for line in locks):
                    break
            self.assertIsNone(first.poll(), "the first run ended before it held the cart")
            self.assertLess(time.monotonic(), deadline, "the first run never took the cart")
            time.sleep(0.005)
        second = self.frennick(cart)
        self.assertEqual((second.stdout, second.status), (in_use(cart), 1))
        stdout = first.communicate(timeout=120)[0].decode()
        self.assertEqual((stdout, first.returncode), (summary, 0))
        with open(cart, "rb") as f:
            self.assertTrue(f.read() == expected, "pages damaged by two runs")


if __name__ == "__main__":
    unittest.main()
