"""What users may hand Frennick instead of a cart: each gets its message and
exit status 1, or a correct run; nothing is written unless page 1 carries the
whole signature."""

import os
import unittest

import cart_model
from cart_model import PAGE, SIGNATURE
from frennick_cli import CartTestCase


class BadInput(CartTestCase):
    def test_empty_path(self):
        result = self.frennick("")
        self.assertEqual(result.stdout, "Failed to open '', code 2\n")
        self.assertEqual(result.status, 1)

    @unittest.skipUnless(os.path.exists("/dev/null"), "no /dev/null here")
    def test_dev_null_has_no_page_one(self):
        result = self.frennick("/dev/null")
        self.assertEqual(result.stdout, "failed to read first page, errno 0!\n")
        self.assertEqual(result.status, 1)

    def test_unusual_names_are_plain_paths(self):
        for name in ("my cart.bin", "vidéo 日本.bin", "-cart.bin", "--help"):
            with self.subTest(name=name):
                data = self.demo_cart("demo.bin", "--pages", "6", "--tail", "5")
                os.replace(self.path("demo.bin"), self.path(name))
                expected, stdout, _ = cart_model.run(data)
                result = self.frennick(name)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, 0)
                self.assertEqual(self.read(name), expected)

    def test_unusual_names_print_back_exactly(self):
        result = self.frennick("vidéo 日本 missing.bin")
        self.assertEqual(result.stdout, "Failed to open 'vidéo 日本 missing.bin', code 2\n")

    def test_signature_only_in_part(self):
        for whole in (1, 8, 15):
            with self.subTest(bytes_of_signature=whole):
                data = bytearray(4 * PAGE)
                data[PAGE:PAGE + whole] = SIGNATURE[:whole]
                data[2 * PAGE:3 * PAGE] = b"\xff" * PAGE
                self.write("part.bin", data)
                result = self.frennick("part.bin")
                self.assertEqual(result.stdout, cart_model.SIGNATURE_MESSAGE)
                self.assertEqual(result.status, 1)
                self.assertEqual(self.read("part.bin"), data)


if __name__ == "__main__":
    unittest.main()
