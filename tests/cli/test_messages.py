"""Every message of the command line, its exit status, and that a cart that
is turned away is left exactly as it was."""

import os
import unittest

import cart_model
from cart_model import PAGE, SIGNATURE
from frennick_cli import WINDOWS, CartTestCase

USAGE = ("Frennick <cart.bin>\n"
         "Attempt to reduce video speckles in cart file.\n"
         "Don't run on non-video cart files, it will screw up your cart. ;)\n")


def cart_with_signature(pages, fill=0x5A):
    data = bytearray([fill]) * (pages * PAGE)
    data[PAGE:PAGE + 16] = SIGNATURE
    return bytes(data)


class Messages(CartTestCase):
    def test_no_argument_prints_usage(self):
        result = self.frennick()
        self.assertEqual(result.stdout, USAGE)
        self.assertEqual(result.status, 1)

    def test_missing_file_is_not_created(self):
        result = self.frennick("nope.bin")
        self.assertEqual(result.stdout, "Failed to open 'nope.bin', code 2\n")
        self.assertEqual(result.status, 1)
        self.assertFalse(os.path.exists(self.path("nope.bin")))

    def test_directory_cannot_be_opened(self):
        os.mkdir(self.path("folder"))
        result = self.frennick("folder")
        code = 13 if WINDOWS else 21  # EACCES there, EISDIR here
        self.assertEqual(result.stdout, f"Failed to open 'folder', code {code}\n")
        self.assertEqual(result.status, 1)

    def test_cart_without_a_whole_page_one(self):
        for size in (0, 100, PAGE, 2 * PAGE - 1):
            with self.subTest(size=size):
                data = cart_with_signature(2)[:size]
                self.write("short.bin", data)
                result = self.frennick("short.bin")
                self.assertEqual(result.stdout, "failed to read first page, errno 0!\n")
                self.assertEqual(result.status, 1)
                self.assertEqual(self.read("short.bin"), data)

    def test_any_wrong_signature_byte_is_refused(self):
        for index in (0, 3, 7, 14, 15):
            with self.subTest(index=index):
                data = bytearray(cart_with_signature(4))
                data[PAGE + index] ^= 0x01
                self.write("odd.bin", data)
                result = self.frennick("odd.bin")
                self.assertEqual(result.stdout, cart_model.SIGNATURE_MESSAGE)
                self.assertEqual(result.status, 1)
                self.assertEqual(self.read("odd.bin"), data)

    def test_signature_must_be_on_page_one(self):
        data = bytearray(cart_with_signature(4))
        data[0:16] = SIGNATURE
        data[PAGE:PAGE + 16] = bytes(16)
        self.write("page0.bin", data)
        self.assertEqual(self.frennick("page0.bin").stdout, cart_model.SIGNATURE_MESSAGE)

    def test_two_page_cart_matches_nothing(self):
        data = cart_with_signature(2)
        self.write("two.bin", data + b"tail")
        result = self.frennick("two.bin")
        self.assertEqual(result.stdout, "Process complete after 2 pages, 0 patches "
                                        "fixing 0 pixels out of 0 (0%).\n")
        self.assertEqual(result.status, 0)
        self.assertEqual(self.read("two.bin"), data + b"tail")


if __name__ == "__main__":
    unittest.main()
