"""A real full file system: a small tmpfs, a sparse cart on it whose
write-back must fill holes, and no space left; and a full btrfs, which
needs new space for any write. Needs root to mount; where
mounting is refused the test is skipped, never passed."""

import os
import shutil
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

    def fresh_cart(self):
        for name in os.listdir(self.mount):
            os.remove(os.path.join(self.mount, name))
        with open(self.cart, "wb") as f:
            f.write(self.original)
        subprocess.run(["sync"], check=True)

    def check_stopped_whole(self, error):
        result = self.frennick(self.cart)
        self.assertRegex(result.stdout, rf"^failed to write page \d+, errno {error}!\n$")
        stopped = int(result.stdout.split()[4].rstrip(","))
        expected, _, _ = cart_model.run(self.original, stop=stopped)
        with open(self.cart, "rb") as f:
            self.assertEqual(cart_model.differing_pages(f.read(), expected), ([], False))

    def test_full_at_many_levels(self):
        filler = os.path.join(self.mount, "filler")
        # Room left, in KiB, filled by writing or by setting space aside:
        # levels at which a page used to be torn among them.
        for fill, room in [("write", kib) for kib in (0, 4, 12, 20, 36, 68, 140, 300)] + \
                          [("set aside", kib) for kib in (500, 1500, 3500, 6500)]:
            with self.subTest(fill=fill, room_kib=room):
                self.fresh_cart()
                if fill == "write":
                    try:
                        with open(filler, "wb") as f:
                            while True:
                                f.write(b"\x55" * 4096)
                    except OSError as error:
                        self.assertEqual(error.errno, 28)
                    os.truncate(filler, max(0, os.path.getsize(filler) - room * 1024))
                else:
                    vfs = os.statvfs(self.mount)
                    subprocess.run(["fallocate", "-l",
                                    str(vfs.f_bavail * vfs.f_frsize - room * 1024), filler],
                                   check=True)
                subprocess.run(["sync"], check=True)
                self.check_stopped_whole(28)

    def test_quota(self):
        # A quota that the file system's free figure does not show.
        if shutil.which("btrfs") is None:
            self.skipTest("btrfs is not installed (Debian: btrfs-progs)")
        subprocess.run(["btrfs", "quota", "enable", self.mount], check=True)
        for room in (1500, 6000):
            with self.subTest(room_kib=room):
                self.fresh_cart()
                subprocess.run(["btrfs", "quota", "rescan", "-w", self.mount], check=True,
                               capture_output=True)
                shown = subprocess.run(["btrfs", "qgroup", "show", "--raw", self.mount],
                                       check=True, capture_output=True, text=True).stdout
                used = int(next(line for line in shown.splitlines()
                                if line.startswith("0/5")).split()[1])
                subprocess.run(["btrfs", "qgroup", "limit", str(used + room * 1024), self.mount],
                               check=True)
                self.check_stopped_whole(122)
                subprocess.run(["btrfs", "qgroup", "limit", "none", self.mount], check=True)

if __name__ == "__main__":
    unittest.main()
