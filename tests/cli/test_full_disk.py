"""A real full file system: a small tmpfs, a sparse cart on it whose
write-back must fill holes, and no space left. Needs root to mount; where
mounting is refused the test is skipped, never passed."""

import os
import subprocess
import tempfile
import unittest

import cart_model
from cart_model import PAGE, PIXEL_OFFSETS, SIGNATURE
from frennick_cli import WINDOWS, CartTestCase


def try_mount(directory):
    if WINDOWS:
        return "space is set aside through Linux's file calls, which Windows lacks"
    if os.name != "posix" or os.geteuid() != 0:
        return "mounting a tmpfs needs root"
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", directory],
                          capture_output=True, text=True)
    return None if done.returncode == 0 else "mount refused: " + done.stderr.strip()


class FullDisk(CartTestCase):
    def setUp(self):
        super().setUp()
        self.mount = tempfile.mkdtemp(prefix="frennick-tmpfs-")
        refused = try_mount(self.mount)
        if refused:
            os.rmdir(self.mount)
            self.skipTest(refused)
        self.addCleanup(self.unmount)

    def unmount(self):
        subprocess.run(["umount", self.mount], check=True)
        os.rmdir(self.mount)

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


if __name__ == "__main__":
    unittest.main()
