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
import strace_io


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

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_putting_back_fails_too(self):
        # The write of pages 2 to 33 stops inside page 5; putting page 5 back
        # fails as well: the message names page 5, not the first page of
        # the write, and so does the state of the cart.
        original = self.demo_cart("cart.bin", "--random", "--pages", "40", "--seed", "5")
        limit = 5 * PAGE + 3000
        expected = bytearray(cart_model.run(original, stop=6)[0])
        expected[limit:6 * PAGE] = original[limit:6 * PAGE]

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        # The calls: the short write, the one that meets the limit, then
        # the putting back.
        prefix = strace_io.strace_prefix(self.path("cart.bin"), self.path("trace.log"), "-e",
                                         f"inject={strace_io.WRITE}:error=EIO:when=3")
        result = self.frennick("cart.bin", prefix=prefix, preexec=limited)
        self.assertEqual(result.stdout, "failed to write page 5, errno 27!\n"
                         "failed to restore page 5, errno 5: it is left part-written!\n")
        self.assertEqual(result.status, 1)
        self.assertEqual(cart_model.differing_pages(self.read("cart.bin"), bytes(expected)),
                         ([], False))


if __name__ == "__main__":
    unittest.main()
