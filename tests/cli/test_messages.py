"""Every message of the command line and its exit status, for what users may
hand Frennick instead of a cart; whatever it is, it is left exactly as it
was, and nothing is written unless page 1 carries the whole signature."""

import os
import unittest

import cart_model
from cart_model import PAGE, SIGNATURE, SIGNATURE_MESSAGE
from frennick_cli import WINDOWS, CartTestCase

USAGE = ("Frennick <cart.bin>\n"
         "Attempt to reduce video speckles in cart file.\n"
         "Don't run on non-video cart files, it will screw up your cart. ;)\n")
SHORT = "failed to read first page, errno 0!\n"
FOLDER = object()  # the argument names a folder


def cart_with_signature(pages, fill=0x5A):
    data = bytearray([fill]) * (pages * PAGE)
    data[PAGE:PAGE + 16] = SIGNATURE
    return bytes(data)


def put(data, offset, value):
    """`data` with `value` in place of its bytes from `offset` on."""
    return data[:offset] + value + data[offset + len(value):]


def wrong_signature_byte(index):
    data = bytearray(cart_with_signature(4))
    data[PAGE + index] ^= 0x01
    return bytes(data)


def signature_in_part(whole):
    return put(put(bytes(4 * PAGE), PAGE, SIGNATURE[:whole]), 2 * PAGE, b"\xff" * PAGE)


# (case, the argument (None: none at all), what the file holds (None: no
# file, and none may be made), what is printed, the exit status)
ROWS = [
    ("no argument", None, None, USAGE, 1),
    ("an empty path", "", None, "Failed to open '', code 2\n", 1),
    ("a missing file", "nope.bin", None, "Failed to open 'nope.bin', code 2\n", 1),
    ("a name printed back exactly", "vidéo 日本 missing.bin", None,
     "Failed to open 'vidéo 日本 missing.bin', code 2\n", 1),
    # EACCES on Windows, EISDIR elsewhere
    ("a folder", "folder", FOLDER, f"Failed to open 'folder', code {13 if WINDOWS else 21}\n", 1),
    *[(f"{size} bytes", "short.bin", cart_with_signature(2)[:size], SHORT, 1)
      for size in (0, 100, PAGE, 2 * PAGE - 1)],
    *[(f"signature byte {index} wrong", "odd.bin", wrong_signature_byte(index), SIGNATURE_MESSAGE, 1)
      for index in (0, 3, 7, 14, 15)],
    *[(f"{whole} bytes of the signature only", "part.bin", signature_in_part(whole), SIGNATURE_MESSAGE, 1)
      for whole in (1, 8, 15)],
    ("the signature on page 0, not page 1", "page0.bin",
     put(put(cart_with_signature(4), 0, SIGNATURE), PAGE, bytes(16)), SIGNATURE_MESSAGE, 1),
    ("two pages and a tail: nothing to examine", "two.bin", cart_with_signature(2) + b"tail",
     "Process complete after 2 pages, 0 patches fixing 0 pixels out of 0 (0%).\n", 0),
]
if os.path.exists("/dev/null"):
    ROWS.append(("/dev/null, which has no page 1", "/dev/null", None, SHORT, 1))


class Messages(CartTestCase):
    def test_each_message_and_the_file_untouched(self):
        for case, argument, data, stdout, status in ROWS:
            with self.subTest(case):
                if data is FOLDER:
                    os.makedirs(self.path(argument), exist_ok=True)
                elif data is not None:
                    self.write(argument, data)
                result = self.frennick() if argument is None else self.frennick(argument)
                self.assertEqual(result.stdout, stdout)
                self.assertEqual(result.status, status)
                if isinstance(data, bytes):
                    self.assertEqual(self.read(argument), data)
                elif data is None and argument and not os.path.isabs(argument):
                    self.assertFalse(os.path.exists(self.path(argument)), "no file may be made")

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


if __name__ == "__main__":
    unittest.main()
