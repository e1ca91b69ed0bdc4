"""A real full file system: a small tmpfs, a sparse cart on it whose
write-back must fill holes, and no space left; and a full btrfs, which
needs new space for any write. Needs root to mount; where
mounting is refused the test is skipped, never passed."""

import fcntl
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import cart_model
from cart_model import PAGE, PIXEL_OFFSETS, SIGNATURE
from frennick_cli import WINDOWS, CartTestCase
import strace_io


def try_mount(directory):
    if WINDOWS:
        return "space is set aside through Linux's file calls, which Windows lacks"
    if os.name != "posix" or os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", directory],
                          capture_output=True, text=True)
    return None if done.returncode == 0 else "mount refused: " + done.stderr.strip()


class MountedTestCase(CartTestCase):
    """A small file system of its own for each test, at self.mount."""

    def mount_file_system(self):
        """Mounts it at self.mount; the reason when it cannot."""
        raise NotImplementedError

    def setUp(self):
        super().setUp()
        self.mount = tempfile.mkdtemp(prefix="frennick-mount-")
        refused = self.mount_file_system()
        if refused:
            os.rmdir(self.mount)
            self.skipTest(refused)
        self.addCleanup(self.unmount)

    def unmount(self):
        subprocess.run(["umount", self.mount], check=True)
        os.rmdir(self.mount)


class FullDisk(MountedTestCase):
    def mount_file_system(self):
        return try_mount(self.mount)

    def fill_file_system(self):
        try:
            with open(os.path.join(self.mount, "filler"), "wb") as f:
                while True:
                    f.write(b"\xAA" * 4096)
                    f.flush()
        except OSError as error:
            self.assertEqual(error.errno, 28)

    def test_write_into_a_hole_with_no_space_left(self):
        # Page 1: pixel bytes 0xFF. Page 2 is stored and inverted, so it is
        # written in place with no new space. Page 3 must invert too, but only
        # its first half is stored: its second half is a hole, and so is every
        # page after it. The pixel bytes near the end of page 3's first half
        # have their colour bytes in the hole: writing half of page 3 would
        # change their pixels without their colours.
        pages = 8
        cart = bytearray(pages * PAGE)
        cart[PAGE:PAGE + 16] = SIGNATURE
        for p in PIXEL_OFFSETS:
            cart[PAGE + p] = 0xFF
            cart[2 * PAGE + p + 961] = 0x12
        name = os.path.join(self.mount, "cart.bin")
        with open(name, "wb") as f:
            f.truncate(pages * PAGE)
            f.seek(PAGE)
            f.write(cart[PAGE:3 * PAGE + 4096])
        self.fill_file_system()
        expected, _, _ = cart_model.run(cart, stop=3)

        result = self.frennick(name)
        self.assertEqual(result.stdout, "failed to write page 3, errno 28!\n")
        self.assertEqual(result.status, 1)
        with open(name, "rb") as f:
            after = f.read()
        self.assertEqual(cart_model.differing_pages(after, expected), ([], False))
        self.assertNotEqual(after[2 * PAGE:3 * PAGE], cart[2 * PAGE:3 * PAGE], "page 2 written")

    def sparse_cart(self, pages):
        """Page 1 with pixel bytes 0xFF, stored; every page after it a hole
        of zeros, so every one of them inverts and needs new space."""
        cart = bytearray(pages * PAGE)
        cart[PAGE:PAGE + 16] = SIGNATURE
        for p in PIXEL_OFFSETS:
            cart[PAGE + p] = 0xFF
        name = os.path.join(self.mount, "cart.bin")
        with open(name, "wb") as f:
            f.truncate(pages * PAGE)
            f.seek(PAGE)
            f.write(cart[PAGE:2 * PAGE])
        return name, bytes(cart)

    def test_no_room_for_the_first_page_of_a_write(self):
        name, cart = self.sparse_cart(8)
        self.fill_file_system()
        result = self.frennick(name)
        self.assertEqual((result.stdout, result.status), ("failed to write page 2, errno 28!\n", 1))
        with open(name, "rb") as f:
            self.assertTrue(f.read() == cart, "the cart was changed")

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_space_is_set_aside_before_the_write(self):
        # Room for three and a half pages. The space is set aside first, so
        # the one write holds pages 2 to 4 whole and page 5 is never begun:
        # a SIGKILL at a second write (a write cut short inside page 5 and
        # its putting back would make one) finds none.
        name, cart = self.sparse_cart(16)
        self.fill_file_system()
        filler = os.path.join(self.mount, "filler")
        os.truncate(filler, os.path.getsize(filler) - 7 * 4096)
        log = os.path.join(self.dir, "trace.log")
        prefix = strace_io.strace_prefix(name, log, "-e",
                                         f"inject={strace_io.WRITE}:signal=SIGKILL:when=2")
        result = self.frennick(name, prefix=prefix)
        self.assertEqual((result.stdout, result.status), ("failed to write page 5, errno 28!\n", 1))
        expected, _, _ = cart_model.run(cart, stop=5)
        with open(name, "rb") as f:
            self.assertEqual(cart_model.differing_pages(f.read(), expected), ([], False))
        calls = [call for call, _ in strace_io.calls_in_order(log)]
        self.assertLess(calls.index("fallocate"), calls.index("pwrite64"), calls)


def extent_boundaries(path):
    """The byte offsets at which the file's extents begin and end (FIEMAP)."""
    FS_IOC_FIEMAP = 0xC020660B
    head, extent = struct.Struct("QQIIII"), struct.Struct("QQQQQIIII")
    boundaries, start = set(), 0
    with open(path, "rb") as f:
        while True:
            request = bytearray(head.pack(start, (1 << 64) - 1 - start, 1, 0, 128, 0) +
                                bytes(128 * extent.size))
            fcntl.ioctl(f, FS_IOC_FIEMAP, request)
            mapped = head.unpack_from(request)[3]
            if mapped == 0:
                return boundaries
            for i in range(mapped):
                logical, _, length, *_rest, flags, _, _, _ = extent.unpack_from(
                    request, head.size + i * extent.size)
                boundaries.update((logical, logical + length))
                start = logical + length
                if flags & 1:  # the last
                    return boundaries


def estimated(traced):
    """Whether a run, as strace saw it, asked the file system for its free
    room (the first look at the cart's file system aside)."""
    return len(re.findall(r"fstatfs(?:64)?\(3,", traced)) > 1


def try_mount_btrfs(image, directory):
    if WINDOWS:
        return "a Linux file system"
    if os.name != "posix" or os.geteuid() != 0:
        return "mounting a btrfs needs root"
    if shutil.which("mkfs.btrfs") is None:
        return "mkfs.btrfs is not installed (Debian: btrfs-progs)"
    with open(image, "wb") as f:
        f.truncate(300 << 20)
    made = subprocess.run(["mkfs.btrfs", "-q", "-f", image], capture_output=True, text=True)
    if made.returncode != 0:
        return "mkfs.btrfs failed: " + made.stderr.strip()
    done = subprocess.run(["mount", "-o", "loop", image, directory],
                          capture_output=True, text=True)
    return None if done.returncode == 0 else "mount refused: " + done.stderr.strip()


class FullCopyOnWriteDisk(MountedTestCase):
    """btrfs needs new space even to overwrite a page, and a full one cuts a
    write at any 4 KiB: a page written in part then cannot be put back
    either. Its free figure is only an estimate, and a quota does not show
    in it. Every page must be left whole, with no putting back needed."""

    def mount_file_system(self):
        return try_mount_btrfs(self.path("btrfs.img"), self.mount)

    def setUp(self):
        super().setUp()
        self.cart = os.path.join(self.mount, "cart.bin")
        self.original = self.demo_cart("original.bin", "--random", "--pages", "2048",
                                       "--seed", "1")

    def fresh_cart(self, pieces_kib=None):
        """The cart, written whole, or a piece at a time, each on the disk
        before the next (btrfs gives each its own extent, whose room comes
        back once every page of it has been replaced)."""
        for name in os.listdir(self.mount):
            path = os.path.join(self.mount, name)
            if os.path.isdir(path):
                os.chmod(path, 0o755)
                shutil.rmtree(path)
            else:
                os.remove(path)
        with open(self.cart, "wb") as f:
            piece = pieces_kib * 1024 if pieces_kib else len(self.original)
            for at in range(0, len(self.original), piece):
                f.write(self.original[at:at + piece])
                f.flush()
                os.fsync(f.fileno())
        subprocess.run(["sync"], check=True)

    def check_stopped_whole(self, error, prefix=()):
        """A run that stops with this errno leaves every page whole: the pages
        before the one it names done, that one as it was, and any after it
        either (those the file system found room for are done too); with
        error None, a whole run."""
        result = self.frennick(self.cart, prefix=prefix)
        whole, summary, _ = cart_model.run(self.original)
        with open(self.cart, "rb") as f:
            after = f.read()
        if error is None:
            self.assertEqual((result.stdout, result.status), (summary, 0))
            self.assertEqual(cart_model.differing_pages(after, whole), ([], False))
            return
        self.assertRegex(result.stdout, rf"^failed to write page \d+, errno {error}!\n$")
        stopped = int(result.stdout.split()[4].rstrip(","))
        expected, _, _ = cart_model.run(self.original, stop=stopped)
        self.assertEqual(len(after), len(expected))
        neither = [n for n in cart_model.differing_pages(after, expected)[0]
                   if n <= stopped or after[n * PAGE:(n + 1) * PAGE] != whole[n * PAGE:(n + 1) * PAGE]]
        self.assertEqual(neither, [], "pages neither as the stopped run nor as a whole run leaves them")

    def test_full_at_many_levels(self):
        filler = os.path.join(self.mount, "filler")
        # Room left, in KiB, filled by writing or by setting space aside:
        # levels at which a page used to be torn among them, where a run
        # stops whole. And a fairly full disk: less room than the cart's
        # changed pages, but room for batches of them, as their old pages
        # give theirs back (the cart in 1 MiB pieces): the run finishes.
        for fill, room, pieces, error in (
                [("write", kib, None, 28) for kib in (0, 4, 12, 20, 36, 68, 140, 300)] +
                [("set aside", kib, None, 28) for kib in (500, 1500, 3500, 6500)] +
                [("set aside", 12288, 1024, None)]):
            with self.subTest(fill=fill, room_kib=room):
                self.fresh_cart(pieces)
                if fill == "write":
                    self.fill_with_writes(room)
                else:
                    vfs = os.statvfs(self.mount)
                    subprocess.run(["fallocate", "-l",
                                    str(vfs.f_bavail * vfs.f_frsize - room * 1024), filler],
                                   check=True)
                    subprocess.run(["sync"], check=True)
                self.check_stopped_whole(error)

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_full_where_clones_are_refused(self):
        # Where the cart cannot be cloned into (ZFS before 2.2), only the
        # file system's estimate of its room is left. A full btrfs still
        # counts free blocks that data cannot have: its room for data is
        # none, and nothing is written.
        self.fresh_cart()
        self.fill_with_writes()
        log = self.path("trace.log")
        trace = [*strace_io.TRACER, "-e", "trace=ioctl,pwrite64,?fstatfs,?fstatfs64", "-o", log]
        self.check_stopped_whole(28, prefix=trace)  # the clone route; finds the probe
        with open(log) as f:
            ioctls = [line for line in f if "ioctl(" in line]
        probe = next(i + 1 for i, line in enumerate(ioctls) if "FICLONERANGE" in line)
        result = self.frennick(self.cart, prefix=[*trace, "-e",
                                                  f"inject=ioctl:error=EOPNOTSUPP:when={probe}"])
        self.assertEqual((result.stdout, result.status), ("failed to write page 2, errno 28!\n", 1))
        with open(log) as f:
            traced = f.read()
        self.assertTrue(estimated(traced))
        self.assertNotIn("pwrite64(3,", traced)
        with open(self.cart, "rb") as f:
            self.assertTrue(f.read() == self.original)

    def test_quota(self):
        # A quota that the file system's free figure does not show: too
        # little room, where the run stops whole; and room for 40 MiB of a
        # 48 MiB cart, in 1 MiB pieces, which batches of 32 MiB pass.
        if shutil.which("btrfs") is None:
            self.skipTest("btrfs is not installed (Debian: btrfs-progs)")
        subprocess.run(["btrfs", "quota", "enable", self.mount], check=True)
        small = self.original
        large = self.demo_cart("large.bin", "--random", "--pages", "6144", "--seed", "7")
        for room, cart, pieces, error in ((1500, small, None, 122), (6000, small, None, 122),
                                          (40960, large, 1024, None)):
            with self.subTest(room_kib=room):
                self.original = cart
                self.fresh_cart(pieces)
                subprocess.run(["btrfs", "quota", "rescan", "-w", self.mount], check=True,
                               capture_output=True)
                shown = subprocess.run(["btrfs", "qgroup", "show", "--raw", self.mount],
                                       check=True, capture_output=True, text=True).stdout
                used = int(next(line for line in shown.splitlines()
                                if line.startswith("0/5")).split()[1])
                subprocess.run(["btrfs", "qgroup", "limit", str(used + room * 1024), self.mount],
                               check=True)
                self.check_stopped_whole(error)
                subprocess.run(["btrfs", "qgroup", "limit", "none", self.mount], check=True)

    def fill_with_writes(self, room_kib=0):
        filler = os.path.join(self.mount, "filler")
        try:
            with open(filler, "wb") as f:
                while True:
                    f.write(b"\x55" * 4096)
        except OSError as error:
            self.assertEqual(error.errno, 28)
        os.truncate(filler, max(0, os.path.getsize(filler) - room_kib * 1024))
        subprocess.run(["sync"], check=True)

    def scratch_file_refused(self, error):
        """The scratch file, opened on the cart's folder, refused: the cart's
        path and the prefix of the run."""
        if not strace_io.available():
            self.skipTest("strace is not installed")
        return self.cart, [*strace_io.TRACER, "-P", self.mount, "-e", "trace=openat",
                           "-e", f"inject=openat:error={error}", "-o", self.path("trace.log")]

    def in_a_folder_the_user_cannot_write(self):
        if shutil.which("setpriv") is None:
            self.skipTest("setpriv is not installed (Debian: util-linux)")
        folder = os.path.join(self.mount, "locked")
        os.mkdir(folder)
        cart = os.path.join(folder, "cart.bin")
        os.rename(self.cart, cart)
        os.chmod(cart, 0o666)
        os.chmod(folder, 0o555)
        return cart, ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]

    def kept_out_of_copy_on_write(self, shared):
        """A chattr +C cart whose blocks a copy shares, or on a full disk."""
        if shutil.which("chattr") is None or not strace_io.available():
            self.skipTest("chattr or strace is not installed (Debian: e2fsprogs, strace)")
        copy = os.path.join(self.mount, "copy.bin")
        for path in (self.cart, copy):
            if os.path.exists(path):
                os.remove(path)
            open(path, "wb").close()
            subprocess.run(["chattr", "+C", path], check=True)
        with open(self.cart, "wb") as f:
            f.write(self.original)
        if shared:
            subprocess.run(["cp", "--reflink=always", self.cart, copy], check=True)
        else:
            self.fill_with_writes()
        return self.cart, [*strace_io.TRACER, "-e", "trace=openat,?fstatfs,?fstatfs64",
                           "-o", self.path("trace.log")]

    def test_where_no_scratch_file_can_be_made(self):
        # No scratch file for the clones: the disk full or the quota used
        # up even for a file, or a folder the user cannot write. Writing in
        # place instead could cut a page on a full disk: nothing is
        # written, and the run says why. A cart kept out of copy-on-write
        # needs no new space to overwrite: it is written in place, even on
        # a full disk; unless a copy shares its blocks, when it does, and
        # the file system's estimate of its room is asked first.
        expected, summary, _ = cart_model.run(self.original)
        # (case, the setup, what is printed, exit status, and where the cart
        # is kept out of copy-on-write whether a copy shares its blocks)
        for case, setup, words, status, shared in (
                ("ENOSPC", lambda: self.scratch_file_refused("ENOSPC"),
                 "failed to write page 2, errno 28!\n", 1, None),
                ("EDQUOT", lambda: self.scratch_file_refused("EDQUOT"),
                 "failed to write page 2, errno 122!\n", 1, None),
                ("a folder the user cannot write", self.in_a_folder_the_user_cannot_write,
                 "failed to write page 2, errno 13!\n", 1, None),
                ("chattr +C, the disk full", lambda: self.kept_out_of_copy_on_write(False),
                 summary, 0, False),
                ("chattr +C, its blocks shared with a copy", lambda: self.kept_out_of_copy_on_write(True),
                 summary, 0, True)):
            with self.subTest(case=case):
                self.fresh_cart()
                cart, prefix = setup()
                result = self.frennick(cart, prefix=prefix)
                self.assertEqual((result.stdout, result.status), (words, status))
                with open(cart, "rb") as f:
                    self.assertTrue(f.read() == (expected if status == 0 else self.original))
                if shared is not None:
                    with open(self.path("trace.log")) as f:
                        traced = f.read()
                    self.assertEqual("O_TMPFILE" in traced, shared, "a scratch file")
                    self.assertEqual(estimated(traced), shared, "the room estimate")

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_a_page_is_cloned_only_whole(self):
        # A clone stopped by a signal stops between two extents of the
        # file it clones from: no page may reach the cart split across two.
        # Free space left in holes: of 4 KiB, where no page fits in one
        # piece, and the run stops before writing any; of 20 KiB, where
        # pages land split and are written into the scratch file again
        # until each lies in one extent, and the run completes.
        self.original = self.demo_cart("small.bin", "--random", "--pages", "150", "--seed", "4")
        expected, summary, _ = cart_model.run(self.original)
        log = self.path("trace.log")
        for holes, kept, words in ((4, 2, "failed to write page 2, errno 28!\n"), (20, 6, summary)):
            with self.subTest(holes_kib=holes):
                self.fresh_cart()
                self.fill_with_holes(3 << 20, kept)
                result = self.frennick(self.cart, prefix=[*strace_io.TRACER, "-e",
                                                          "trace=ioctl,pwrite64", "-o", log])
                self.assertEqual(result.stdout, words)
                with open(self.cart, "rb") as f:
                    self.assertTrue(f.read() == (expected if result.status == 0 else self.original))
                with open(log) as f:
                    traced = f.read()
                clones = traced.count("FICLONERANGE")
                again = len(re.findall(r"pwrite64\(4, .*, 8192, \d+\) += 8192", traced))
                if result.status == 0:
                    # Split pages written again, each on its own, and more
                    # than a few in one run; the cart's pages each in one
                    # extent.
                    self.assertGreater(again, 3)
                    self.assertGreater(clones, again)
                    split = [n for n in range(2, len(self.original) // PAGE)
                             if any(n * PAGE < at < (n + 1) * PAGE
                                    for at in extent_boundaries(self.cart))]
                    self.assertEqual(split, [], "pages of the cart split between two extents")
                else:
                    self.assertEqual(clones, 1, "only the probe")

    @unittest.skipUnless(shutil.which("btrfs"), "btrfs is not installed (Debian: btrfs-progs)")
    def test_no_page_of_the_cart_spans_two_items(self):
        # A clone stopped by a signal stops between two items of the file it
        # clones from, and FIEMAP merges items that lie one after the other
        # on the disk (the halves of a write cut by the end of a block group,
        # or by the cache written out meanwhile, as a syncfs loop alongside
        # does): after a run, no item of the cart may begin inside a page,
        # by btrfs's own tree.
        self.original = self.demo_cart("items.bin", "--random", "--pages", "8192", "--seed", "9")
        self.fresh_cart()
        loop = subprocess.Popen(["sh", "-c", f"while :; do sync -f {self.mount}; done"])
        try:
            result = self.frennick(self.cart)
        finally:
            loop.kill()
            loop.wait()
        self.assertEqual(result.status, 0)
        inode = os.stat(self.cart).st_ino
        subprocess.run(["sync"], check=True)
        subprocess.run(["umount", self.mount], check=True)
        try:
            tree = subprocess.run(["btrfs", "inspect-internal", "dump-tree", "-t", "5",
                                   self.path("btrfs.img")], check=True, capture_output=True,
                                  text=True).stdout
        finally:
            subprocess.run(["mount", "-o", "loop", self.path("btrfs.img"), self.mount], check=True)
        starts = [int(at) for at in re.findall(rf"key \({inode} EXTENT_DATA (\d+)\)", tree)]
        self.assertGreater(len(starts), 1)
        self.assertEqual([at for at in starts if at % PAGE != 0], [], "items that begin inside a page")

    def fill_with_holes(self, room, kept):
        """The disk filled but for `room` bytes, and those filled with 4 KiB
        files, of which one in `kept` is kept: holes of `kept - 1` times
        4 KiB."""
        vfs = os.statvfs(self.mount)
        subprocess.run(["fallocate", "-l", str(vfs.f_bavail * vfs.f_frsize - room),
                        os.path.join(self.mount, "filler")], check=True)
        holes = os.path.join(self.mount, "holes")
        os.mkdir(holes)
        count = 0
        try:
            while True:
                with open(os.path.join(holes, str(count)), "wb") as f:
                    f.write(b"\xA5" * 4096)
                count += 1
        except OSError as error:
            self.assertEqual(error.errno, 28)
        subprocess.run(["sync"], check=True)
        for n in range(count):
            if n % kept != 0:
                os.remove(os.path.join(holes, str(n)))
        subprocess.run(["sync"], check=True)

    def unmatched(self, matched, pages):
        """`matched`, a cart that a run leaves as it is, with these pages
        stored the other way wherever that makes the run turn them back:
        the run changes exactly these pages, and leaves `matched`."""
        cart = bytearray(matched)
        for n in pages:
            for p in PIXEL_OFFSETS:
                at = n * PAGE + p
                if cart_model.POPCOUNT[cart[at - PAGE] ^ cart[at]] <= 3:
                    cart[at] ^= 0xFF
                    c = cart[at + 961]
                    cart[at + 961] = ((c << 4) | (c >> 4)) & 0xFF
        return bytes(cart)

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_clones_against_the_model(self):
        # An ordinary run, and clones that fail. Pages 2 to 201 change, and
        # from 300 on every other page: unchanged pages lie between changed
        # ones, which the scratch file's holes must not replace, and the
        # changed pages come in more runs than one batch of clones takes.
        matched = self.demo_cart("matched.bin", "--random", "--pages", "3072", "--seed", "2")
        self.write("matched.bin", matched)
        self.frennick("matched.bin")
        matched = self.read("matched.bin")
        cart = self.unmatched(matched, [*range(2, 202), *range(300, 3072, 2)])
        self.original = cart
        _, summary, _ = cart_model.run(cart)
        # The clones of a whole run, in the order made: the probe first, into
        # the scratch file; then those into the cart, counted among the
        # calls on the cart alone (how often the scratch file's items are
        # asked after depends on where its pages land).
        self.fresh_cart()
        log = self.path("ioctls.log")
        on_cart = self.path("cart-ioctls.log")
        self.frennick(self.cart, prefix=[*strace_io.TRACER, "-e", "trace=ioctl", "-o", log])
        self.fresh_cart()
        self.frennick(self.cart, prefix=[*strace_io.TRACER, "-P", self.cart, "-e", "trace=ioctl",
                                         "-o", on_cart])
        clones = []
        for traced in (log, on_cart):
            with open(traced) as f:
                ioctls = [line for line in f if " ioctl(" in line or line.startswith("ioctl(")]
            clones.append([(i + 1, int(re.search(r"src_offset=(\d+)", line).group(1)) // PAGE)
                           for i, line in enumerate(ioctls) if "FICLONERANGE" in line])
        probe, (first, _), *later_clones = clones[0][0], *clones[1]
        self.assertEqual((probe[1], clones[1][0][1], clones[1][1][1]), (0, 2, 300),
                         "the probe, pages 2-201, page 300")
        later, later_page = next((i, page) for i, page in later_clones if page > 2000)  # a later batch
        last, last_page = clones[1][-1]
        cart_only = ["-P", self.cart]
        # (case, the injection, what is printed, the page the run stops at
        # (None: every page done), whether the cart is written in place)
        for case, injection, words, stopped, written_in_place in (
                ("ordinary", None, summary, None, False),
                ("EIO on a later batch", f"ioctl:error=EIO:when={later}",
                 f"failed to write page {later_page}, errno 5!\n", later_page, False),
                ("EIO on the last clone", f"ioctl:error=EIO:when={last}",
                 f"failed to write page {last_page}, errno 5!\n", last_page, False),
                ("ENOSPC on pages 2-201: one page at a time", f"ioctl:error=ENOSPC:when={first}",
                 summary, None, False),
                ("EDQUOT on pages 2-201: one page at a time", f"ioctl:error=EDQUOT:when={first}",
                 summary, None, False),
                ("ENOSPC on pages 2-201, and then on page 5",
                 f"ioctl:error=ENOSPC:when={first}..{first + 4}+4", "failed to write page 5, errno 28!\n", 5, False),
                ("the probe refused for room: clones all the same", f"ioctl:error=ENOSPC:when={probe[0]}",
                 summary, None, False),
                ("clones refused: written in place", f"ioctl:error=EOPNOTSUPP:when={probe[0]}",
                 summary, None, True),
                # The scratch file's writes (pages 34-65 the second): a
                # failure named as it is; no room once, room given back by
                # cloning what waits, and the run goes on.
                ("EIO into the scratch file", "pwrite64:error=EIO:when=2",
                 "failed to write page 34, errno 5!\n", 34, False),
                ("EDQUOT into the scratch file from then on", "pwrite64:error=EDQUOT:when=2+",
                 "failed to write page 34, errno 122!\n", 34, False),
                ("ENOSPC into the scratch file once", "pwrite64:error=ENOSPC:when=2", summary, None, False)):
            with self.subTest(case=case):
                self.fresh_cart()
                options = ["-e", "trace=ioctl,pwrite64,?fstatfs,?fstatfs64", "-o", log]
                if injection:
                    on_clones = injection.startswith("ioctl") and injection.split("=")[-1] != str(probe[0])
                    options += [*(cart_only if on_clones else []), "-e", f"inject={injection}"]
                result = self.frennick(self.cart, prefix=[*strace_io.TRACER, *options])
                self.assertEqual((result.stdout, result.status), (words, 0 if stopped is None else 1))
                expected, _, _ = cart_model.run(cart, stop=stopped)
                with open(self.cart, "rb") as f:
                    self.assertEqual(cart_model.differing_pages(f.read(), expected), ([], False))
                with open(log) as f:
                    traced = f.read()
                # The room estimate asked only where the cart is written in place.
                in_place = re.search(r"pwrite64\(3,", traced) is not None
                self.assertEqual(in_place, written_in_place, case)
                self.assertEqual(estimated(traced), in_place, case)


if __name__ == "__main__":
    unittest.main()
