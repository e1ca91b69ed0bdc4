"""Carts past the 32-bit limits (2 GiB for offsets, 2**32 pixels): pages are read and written at their true
offsets and the counters print in full. The carts are sparse, so they cost
no disk, only the time to read their holes."""

import unittest

from cart_model import PAGE, PIXEL_OFFSETS, SIGNATURE
from frennick_cli import CartTestCase


class LargeCart(CartTestCase):
    def make_sparse_cart(self, name, pages, inverted_pages):
        """Blank pages but for a marker on page 0, the signature, and pixel
        bytes 0xFF (colour 0x12) on `inverted_pages`, which must all flip."""
        with open(self.path(name), "wb") as f:
            f.truncate(pages * PAGE)
            f.write(b"page zero")
            f.seek(PAGE)
            f.write(SIGNATURE)
            page = bytearray(PAGE)
            for p in PIXEL_OFFSETS:
                page[p] = 0xFF
                page[p + 961] = 0x12
            for n in inverted_pages:
                f.seek(n * PAGE)
                f.write(page)

    def check_flipped(self, name, n):
        with open(self.path(name), "rb") as f:
            f.seek(n * PAGE)
            page = f.read(PAGE)
        self.assertEqual({page[p] for p in PIXEL_OFFSETS}, {0x00}, f"page {n}")
        self.assertEqual({page[p + 961] for p in PIXEL_OFFSETS}, {0x21}, f"page {n}")

    def test_pages_past_two_and_four_gib(self):
        two_gib, four_gib = 2**31 // PAGE, 2**32 // PAGE  # pages 262144, 524288
        pages = four_gib + 3
        flipped = [two_gib, four_gib, pages - 1]  # the last page too
        self.make_sparse_cart("big.bin", pages, flipped)
        result = self.frennick("big.bin")
        examined = 24576 * (pages - 2)  # past 2**32
        self.assertEqual(result.stdout,
                         f"Process complete after {pages} pages, {3 * 3072} patches fixing "
                         f"{3 * 24576} pixels out of {examined} (0%).\n")
        self.assertEqual(result.status, 0)
        for n in flipped:
            self.check_flipped("big.bin", n)
        with open(self.path("big.bin"), "rb") as f:
            self.assertEqual(f.read(9), b"page zero")

if __name__ == "__main__":
    unittest.main()
