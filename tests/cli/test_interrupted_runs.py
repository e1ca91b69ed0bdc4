"""A run killed at any of its writes (or reads) and then run again leaves the
cart byte for byte as one uninterrupted run would."""

import unittest

import cart_model
from cart_model import PAGE
from frennick_cli import FRENNICK, CartTestCase
import strace_io


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


if __name__ == "__main__":
    unittest.main()
