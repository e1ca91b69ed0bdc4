"""Which bytes of the cart Frennick reads and writes, seen through strace:
page 0 never, page 1 read once and never written, every page read once,
only changed pages written, each in whole pages, the tail never written."""

import unittest

from cart_model import PAGE
from frennick_cli import CartTestCase
import strace_io


@unittest.skipUnless(strace_io.sees_the_c_runtime(),
                     "needs strace, and a binary that runs natively")
class IoPattern(CartTestCase):
    def traced_run(self, name):
        log = self.path("trace.log")
        self.frennick(name, prefix=strace_io.strace_prefix(self.path(name), log))
        return strace_io.io_ranges(log)

    def test_each_page_read_once_and_only_changed_pages_written(self):
        pages = 75  # a few reads' worth, ending inside one
        self.demo_cart("io.bin", "--pages", str(pages), "--tail", "999")
        reads, writes = self.traced_run("io.bin")
        # Both locks are taken before anything is read: another program's
        # half-written page 1 must not be read.
        calls = [call for call, _ in strace_io.calls_in_order(self.path("trace.log"))]
        first_read = calls.index("pread64")
        self.assertIn("flock", calls[:first_read], calls)
        self.assertTrue({"fcntl", "fcntl64"} & set(calls[:first_read]), calls)
        self.assertEqual(strace_io.covered(reads, 0, PAGE), 0, "page 0 read")
        self.assertEqual(strace_io.covered(writes, 0, 2 * PAGE), 0, "page 0 or 1 written")
        for n in range(1, pages):
            self.assertEqual(strace_io.covered(reads, n * PAGE, (n + 1) * PAGE), 1,
                             f"page {n} read")
        for start, end in writes:
            self.assertEqual((start % PAGE, end % PAGE), (0, 0), "a page written in part")
            self.assertLessEqual(end, pages * PAGE, "the tail written")
        self.assertGreater(len(writes), 0)

        # A second run finds every page as it wants it and writes nothing.
        reads, writes = self.traced_run("io.bin")
        self.assertEqual(writes, [])
        self.assertEqual(strace_io.covered(reads, 0, PAGE), 0)

    def test_every_run_syncs_the_cart_after_its_last_write_and_before_the_summary(self):
        # The second run writes nothing, yet it syncs too: a first run cut
        # short may have left its pages in the system's cache only.
        self.demo_cart("io.bin", "--pages", "75")
        log = self.path("trace.log")
        # Every write, seek and sync of the process, the descriptors shown
        # with what they stand for, to tell the cart from standard output.
        prefix = [*strace_io.TRACER, "-y", "-e",
                  "trace=write,pwrite64,lseek,fdatasync,fsync", "-o", log]
        for run in ("first", "second"):
            with self.subTest(run=run):
                result = self.frennick("io.bin", prefix=prefix)
                self.assertTrue(result.stdout.startswith("Process complete"))
                calls = strace_io.calls_in_order(log)
                on_cart = [i for i, (_, fd) in enumerate(calls) if fd.endswith("io.bin>")]
                syncs = [i for i, (call, _) in enumerate(calls) if call in ("fdatasync", "fsync")]
                summary = [i for i, (call, fd) in enumerate(calls)
                           if call == "write" and fd.startswith("1<")]
                self.assertEqual(len(syncs), 1, calls)
                self.assertIn(syncs[0], on_cart, "the sync is not on the cart")
                self.assertEqual(on_cart[-1], syncs[0], "a write after the sync")
                self.assertEqual(len(summary), 1)
                self.assertLess(syncs[0], summary[0], "summary before the sync")
                # Reads and writes carry their offsets: no seek before each.
                self.assertEqual([c for c in calls
                                  if c[0] == "lseek" and c[1].endswith("io.bin>")], [])


if __name__ == "__main__":
    unittest.main()
