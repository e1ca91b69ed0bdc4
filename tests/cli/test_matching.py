"""Whole runs over generated carts, compared byte for byte and line for line
with the model of a run."""

import os
import random
import unittest

import cart_model
from cart_model import PAGE, PIXEL_OFFSETS, SIGNATURE
from frennick_cli import CartTestCase


def blank_cart(pages):
    data = bytearray(pages * PAGE)
    data[PAGE:PAGE + 16] = SIGNATURE
    return data


class Matching(CartTestCase):
    def check_against_model(self, name, data):
        expected, stdout, status = cart_model.run(data)
        result = self.frennick(name)
        self.assertEqual(result.stdout, stdout)
        self.assertEqual(result.status, status)
        self.assertEqual(self.read(name), expected)
        return result

    def test_demo_cart_with_tail(self):
        data = self.demo_cart("demo.bin", "--pages", "24", "--tail", "777", "--seed", "5")
        result = self.check_against_model("demo.bin", data)
        self.assertIn("Process complete after 24 pages", result.stdout)
        self.assertNotIn(" 0 patches", result.stdout)

    def test_cart_spanning_several_reads(self):
        # Frennick reads many pages at a time; the chain must run on across.
        data = self.demo_cart("long.bin", "--pages", "73", "--tail", "8191", "--seed", "8")
        self.check_against_model("long.bin", data)

    def test_random_pages(self):
        data = self.demo_cart("noise.bin", "--pages", "9", "--random", "--seed", "9")
        self.check_against_model("noise.bin", data)

    def test_second_run_changes_and_writes_nothing(self):
        self.demo_cart("again.bin", "--pages", "12", "--tail", "10")
        self.frennick("again.bin")
        matched = self.read("again.bin")
        before = os.stat(self.path("again.bin")).st_mtime_ns
        result = self.frennick("again.bin")
        self.assertEqual(result.stdout, "Process complete after 12 pages, 0 patches "
                                        "fixing 0 pixels out of 245760 (0%).\n")
        self.assertEqual(result.status, 0)
        self.assertEqual(self.read("again.bin"), matched)
        self.assertEqual(os.stat(self.path("again.bin")).st_mtime_ns, before,
                         "an unchanged cart must not be written")

    def test_arguments_after_the_first_are_ignored(self):
        data = self.demo_cart("first.bin", "--pages", "5")
        expected, stdout, _ = cart_model.run(data)
        result = self.frennick("first.bin", "second.bin", "--help")
        self.assertEqual(result.stdout, stdout)
        self.assertEqual(self.read("first.bin"), expected)
        self.assertFalse(os.path.exists(self.path("second.bin")))

    def test_percentage_rounds_half_up(self):
        # Seven pages: five matched, 122880 pixels examined. Page 2 is the
        # inverse of page 1 (24576 fixed); page 3 adds the rest.
        for extra, percent in ((3072, 23), (3070, 22), (3158, 23)):
            with self.subTest(fixed=24576 + extra):
                data = blank_cart(7)
                for p in PIXEL_OFFSETS:
                    data[2 * PAGE + p] = 0xFF
                whole, rest = divmod(extra, 8)  # 8 per 0xFF, 6 for one 0xFE
                for p in PIXEL_OFFSETS[:whole]:
                    data[3 * PAGE + p] = 0xFF
                if rest:
                    data[3 * PAGE + PIXEL_OFFSETS[whole]] = 0xFE
                self.write("share.bin", data)
                result = self.check_against_model("share.bin", data)
                self.assertIn(f"pixels out of 122880 ({percent}%).", result.stdout)

    def test_chain_compares_with_the_rewritten_previous_page(self):
        # Page 2 is inverted against page 1; page 3 equals the original page
        # 2, so it must be inverted too, against the rewritten page 2.
        data = blank_cart(5)
        rng = random.Random(3)
        for p in PIXEL_OFFSETS:
            data[2 * PAGE + p] = data[3 * PAGE + p] = 0xF0 | rng.choice((0x0E, 0x0F, 0x07))
        self.write("chain.bin", data)
        result = self.check_against_model("chain.bin", data)
        self.assertIn("6144 patches", result.stdout)


if __name__ == "__main__":
    unittest.main()
