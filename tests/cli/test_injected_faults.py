"""Failures injected into the real binary's system calls on the cart (strace
-P cart -e inject=...): for each, the message, exit status 1, and the cart
compared page by page with what a run stopped at that point must leave."""

import signal
import unittest

import cart_model
from frennick_cli import WINDOWS, CartTestCase
import strace_io

READ = 32  # pages per read; pages 2-33 arrive in the cart's second read
PAGES = 2 + 3 * READ + 5
# The number the C runtime gives an EIO from the system: Windows' runtime, as
# wine maps it, has no EIO and says EINVAL.
EIO = 22 if WINDOWS else 5


@unittest.skipUnless(strace_io.available(), "strace is not installed")
class InjectedFaults(CartTestCase):
    def setUp(self):
        super().setUp()
        # Random pages: every page changes, so each read's pages go out in
        # one write: pages 2-33 in the first write, 34-65 in the second...
        self.original = self.demo_cart("cart.bin", "--random", "--pages", str(PAGES),
                                       "--tail", "1234", "--seed", "3")

    def run_injected(self, *injections):
        options = [o for injection in injections for o in ("-e", "inject=" + injection)]
        prefix = strace_io.strace_prefix(self.path("cart.bin"), self.path("trace.log"),
                                         *options)
        return self.frennick("cart.bin", prefix=prefix)

    def assert_cart(self, expected):
        pages, sizes = cart_model.differing_pages(self.read("cart.bin"), expected)
        self.assertEqual((pages, sizes), ([], False), "pages that differ from the expected")

    def check(self, injection, message, stopped_at, summary=False):
        """The run must print `message` (and the summary of a run stopped at
        page `stopped_at` if `summary`), exit 1, and leave pages before
        `stopped_at` matched and the rest as they were (all matched where
        `stopped_at` is None)."""
        expected, summary_line, _ = cart_model.run(self.original, stop=stopped_at)
        result = self.run_injected(*injection) if isinstance(injection, tuple) else self.run_injected(injection)
        self.assertEqual(result.stdout, message + (summary_line if summary else ""))
        self.assertEqual(result.status, 1)
        self.assert_cart(expected)

    def test_reads_writes_syncs_and_close(self):
        # (case, the injections, the message, the page the run stops at (None:
        # every page done), whether the summary follows, why not under wine)
        read, write, sync = strace_io.READ, strace_io.WRITE, "fdatasync,fsync:error=EIO"
        closed = f"failed to close 'cart.bin', errno {EIO}!\n"
        for case, injection, message, stopped_at, summary, not_on_wine in (
                ("page 1 unreadable", f"{read}:error=EIO:when=1",
                 f"failed to read first page, errno {EIO}!\n", 2, False, None),
                ("pages 2 on unreadable", f"{read}:error=EIO:when=2",
                 f"failed to read page 2, errno {EIO}!\n", 2, True, None),
                ("a later read", f"{read}:error=EIO:when=3",
                 f"failed to read page 34, errno {EIO}!\n", 34, True, None),
                ("the first write", f"{write}:error=EIO:when=1",
                 f"failed to write page 2, errno {EIO}!\n", 2, False, None),
                ("a later write, the disk full", f"{write}:error=ENOSPC:when=3",
                 "failed to write page 66, errno 28!\n", 66, False, None),
                # A write that takes nothing and says nothing is a full disk.
                ("a write that takes nothing", f"{write}:retval=0:when=1",
                 "failed to write page 2, errno 28!\n", 2, False,
                 "the C runtime's write under wine is not one system call"),
                # The data is still in the page cache, but the run must not
                # claim it reached the disk.
                ("the sync", sync, closed, None, False, None),
                # What was written before a failed write is synced; a failed
                # sync is reported after the write's failure.
                ("a write, then the sync", (f"{write}:error=ENOSPC:when=2", sync),
                 "failed to write page 34, errno 28!\n" + closed, 34, False, None),
                ("the close", "close:error=EIO:when=1", closed, None, False,
                 "wine closes the file in its own time")):
            with self.subTest(case):
                if WINDOWS and not_on_wine:
                    self.skipTest(not_on_wine)
                self.write("cart.bin", self.original)
                self.check(injection, message, stopped_at, summary)

    @unittest.skipUnless(WINDOWS, "reads and writes carry their offsets here: no seek to fail")
    def test_seek_before_a_write(self):
        # lseek 1 and 2 come before the first two reads, 3 before the first write.
        self.check(f"{strace_io.SEEK}:error=EIO:when=3", f"failed to write page 2, errno {EIO}!\n", 2)

    @unittest.skipIf(WINDOWS, "the system's cache of a file is Linux's here")
    def test_failed_sync_drops_the_cached_cart(self):
        # The pages the device refused may stay in the cache marked as
        # written; a rerun must read what the device holds instead. The
        # whole cart is dropped, even when a signal comes during the sync:
        # it waits until the cache is dropped, then ends the run.
        for sent in (None, signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sent):
                self.write("cart.bin", self.original)
                result = self.run_injected("fdatasync,fsync:error=EIO"
                                           + (f":signal={int(sent)}" if sent else ""))
                self.assertEqual(result.status, -sent if sent else 1)
                calls = strace_io.calls_in_order(self.path("trace.log"))
                names = [call for call, _ in calls]
                sync = max(i for i, name in enumerate(names) if name in ("fdatasync", "fsync"))
                # A 32-bit process calls fadvise64_64.
                self.assertTrue({"fadvise64", "fadvise64_64"} & set(names[sync:]), calls[sync:])
                with open(self.path("trace.log")) as log:
                    # From byte 0 to the end of the file, whatever its size.
                    self.assertRegex(log.read(), r"fadvise64(_64)?\(\d+, 0, 0, POSIX_FADV_DONTNEED\)")

    @unittest.skipIf(WINDOWS, "Windows locks by the share mode it opens with")
    def test_lock(self):
        # Held by another program, with flock or with a record lock (lockf,
        # fcntl, an open file's own lock): refused, nothing read. A file
        # system that cannot lock at all: the run goes on as it would
        # without locks.
        expected, summary, _ = cart_model.run(self.original)
        in_use = "failed to lock 'cart.bin': it is in use by another program!\n"
        for call in ("flock", strace_io.RECORD_LOCK):
            for error, words, status, after in (
                    ("EAGAIN", in_use, 1, self.original),
                    ("ENOLCK", summary, 0, expected), ("EOPNOTSUPP", summary, 0, expected),
                    ("EINVAL", summary, 0, expected)):
                with self.subTest(call=call, error=error):
                    self.write("cart.bin", self.original)
                    result = self.run_injected(f"{call}:error={error}")
                    self.assertEqual((result.stdout, result.status), (words, status))
                    self.assert_cart(after)
        with self.subTest(call="fcntl", error="EACCES"):
            result = self.run_injected(f"{strace_io.RECORD_LOCK}:error=EACCES")
            self.assertEqual((result.stdout, result.status), (in_use, 1))

    def test_sparse_cart_where_space_cannot_be_set_aside(self):
        # Some file systems cannot reserve space at all: the run goes on and
        # writes as usual rather than report a full disk. A quota that is
        # used up is reported as such, before the first page is begun.
        sparse = self.original + bytes(64 * cart_model.PAGE)  # a hole at the end
        expected, summary, _ = cart_model.run(sparse)
        for error, words, status, after in (
                ("EOPNOTSUPP", summary, 0, expected),
                ("EDQUOT", "failed to write page 2, errno 122!\n", 1, sparse)):
            with self.subTest(error=error):
                if WINDOWS and status:
                    self.skipTest("space is set aside through Linux's file calls")
                self.write("cart.bin", self.original)
                with open(self.path("cart.bin"), "r+b") as f:
                    f.truncate(len(sparse))  # the hole again
                result = self.run_injected(f"fallocate:error={error}")
                self.assertEqual((result.stdout, result.status), (words, status))
                self.assert_cart(after)


if __name__ == "__main__":
    unittest.main()
