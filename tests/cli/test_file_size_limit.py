"""A file size limit below the cart's size (ulimit -f) makes a write stop in
the middle of a page: that page is put back as it was, the message names
it, and the pages after it are untouched. Whether the limit's signal is
ignored or not, the run reports the failure rather than dying midway."""

import resource
import signal
import unittest

import cart_model
from cart_model import PAGE
from frennick_cli import CartTestCase, WINDOWS


@unittest.skipIf(WINDOWS, "a POSIX resource limit")
class FileSizeLimit(CartTestCase):
    def test_limit_inside_page_five(self):
        original = self.demo_cart("cart.bin", "--random", "--pages", "40", "--seed", "5")
        expected, _, _ = cart_model.run(original, stop=5)
        limit = 5 * PAGE + 3000
        for action in (signal.SIG_IGN, signal.SIG_DFL):
            with self.subTest(sigxfsz=str(action)):
                self.write("cart.bin", original)

                def limited(action=action):
                    signal.signal(signal.SIGXFSZ, action)
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

                result = self.frennick("cart.bin", preexec=limited)
                self.assertEqual(result.stdout, "failed to write page 5, errno 27!\n")
                self.assertEqual(result.status, 1)
                pages, sizes = cart_model.differing_pages(self.read("cart.bin"), expected)
                self.assertEqual((pages, sizes), ([], False))


if __name__ == "__main__":
    unittest.main()
