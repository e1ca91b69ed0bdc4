"""The demo cart generator checks every number it is given: a bad one is
named with its allowed range on standard error, exit 2, and no file is
written; --help prints the usage on standard output."""

import os
import unittest

from cart_model import PAGE, SIGNATURE
from frennick_cli import MAKE_DEMO_CART, CartTestCase


class DemoGenerator(CartTestCase):
    def generate(self, *args):
        return self.run_binary(MAKE_DEMO_CART, *args)

    def test_bad_numbers_are_refused_before_any_file_is_written(self):
        cases = [
            ("--pages", "abc", "0 to 16777216"), ("--pages", "12x", "0 to 16777216"),
            ("--pages", "-1", "0 to 16777216"), ("--pages", "+5", "0 to 16777216"),
            ("--pages", " 5", "0 to 16777216"), ("--pages", "16777217", "0 to 16777216"),
            ("--pages", "99999999999999999999", "0 to 16777216"),
            ("--change", "-1", "0 to 1000"), ("--change", "1001", "0 to 1000"),
            ("--tail", "8192", "0 to 8191"), ("--tail", "", "0 to 8191"),
            ("--seed", "18446744073709551616", "0 to 18446744073709551615"),
            ("--seed", "0x10", "0 to 18446744073709551615"),
        ]
        for option, value, allowed in cases:
            with self.subTest(option=option, value=value):
                result = self.generate("out.bin", option, value)
                self.assertEqual(result.status, 2)
                self.assertIn(f"{option} takes a whole number from {allowed}, not '{value}'",
                              result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(self.path("out.bin")))

    def test_other_mistakes(self):
        self.write("out.bin", b"keep me")
        for args, said in ((["out.bin", "--pages"], "--pages needs a whole number"),
                           (["out.bin", "--bogus"], "no such option '--bogus'"),
                           (["out.bin", "other.bin"], "a second output file 'other.bin'"),
                           ([], "no output file given")):
            with self.subTest(args=args):
                result = self.generate(*args)
                self.assertEqual(result.status, 2)
                self.assertIn(said, result.stderr)
                self.assertIn("make_demo_cart <out.bin>", result.stderr)
                self.assertEqual(self.read("out.bin"), b"keep me")
                self.assertFalse(os.path.exists(self.path("other.bin")))

    def test_help(self):
        result = self.generate("--help")
        self.assertEqual(result.status, 0)
        self.assertTrue(result.stdout.startswith("make_demo_cart <out.bin>"))
        self.assertEqual(result.stderr, "")

    def test_good_numbers(self):
        data = self.demo_cart("out.bin", "--pages", "3", "--tail", "8191", "--change", "0",
                              "--seed", "18446744073709551615")
        self.assertEqual(len(data), 3 * PAGE + 8191)
        self.assertEqual(data[PAGE:PAGE + 16], SIGNATURE)
        self.assertEqual(len(self.demo_cart("none.bin", "--pages", "0")), 0)


if __name__ == "__main__":
    unittest.main()
