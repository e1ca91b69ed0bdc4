"""Property test of whole runs: random carts of random lengths, from nothing
to a few pages and a tail, with and without the signature. Each run must
match the model, never touch page 0 or the tail, and a second run must
change nothing."""

import random
import unittest

import cart_model
from cart_model import PAGE, PIXEL_OFFSETS, SIGNATURE
from frennick_cli import CartTestCase


def random_cart(rng):
    size = rng.choice([0, rng.randrange(2 * PAGE), rng.randrange(2 * PAGE, 7 * PAGE)])
    data = bytearray(rng.getrandbits(8) for _ in range(size))
    if size >= 2 * PAGE and rng.random() < 0.8:
        data[PAGE:PAGE + 16] = SIGNATURE
        # Now and then a page close to the one before it, as in a video.
        for n in range(2, size // PAGE):
            if rng.random() < 0.5:
                for p in PIXEL_OFFSETS:
                    if rng.random() < 0.9:
                        data[n * PAGE + p] = data[(n - 1) * PAGE + p]
    return bytes(data)


class RandomCarts(CartTestCase):
    def test_random_carts(self):
        rng = random.Random(2024)
        for trial in range(40):
            data = random_cart(rng)
            with self.subTest(trial=trial, size=len(data)):
                self.write("cart.bin", data)
                expected, stdout, status = cart_model.run(data)
                first = self.frennick("cart.bin")
                self.assertEqual((first.stdout, first.status), (stdout, status))
                after = self.read("cart.bin")
                self.assertEqual(after, expected)
                tail = len(data) % PAGE
                self.assertEqual(after[:PAGE], data[:PAGE], "page 0 touched")
                self.assertEqual(after[len(data) - tail:], data[len(data) - tail:],
                                 "tail touched")
                second = self.frennick("cart.bin")
                self.assertEqual(second.status, status)
                self.assertEqual(self.read("cart.bin"), after)
                if status == 0:
                    self.assertIn(" 0 patches fixing 0 pixels", second.stdout)


if __name__ == "__main__":
    unittest.main()
