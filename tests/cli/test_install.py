"""`cmake --install` into a fresh prefix: Frennick in bin/ and working, also
as `frennick` on Linux, the manual pages in share/man/man1/ rendering
without complaint, the user's guide, changelog and licence beside them."""

import os
import shutil
import subprocess
import unittest

import build_tree
from frennick_cli import EMULATOR, WINDOWS, CartTestCase


@unittest.skipIf(WINDOWS or not build_tree.BUILD_DIR, "installs a Linux build")
class Install(CartTestCase):
    def test_install_into_a_fresh_prefix(self):
        prefix = self.path("prefix")
        subprocess.run([build_tree.CMAKE, "--install", build_tree.BUILD_DIR, "--prefix", prefix],
                       check=True, capture_output=True)
        for name in ("Frennick", "frennick"):
            binary = os.path.join(prefix, "bin", name)
            self.assertTrue(os.access(binary, os.X_OK), name)
            usage = subprocess.run([*EMULATOR, binary], capture_output=True, text=True)
            self.assertEqual(usage.returncode, 1)
            self.assertTrue(usage.stdout.startswith("Frennick <cart.bin>\n"))
        self.assertEqual(os.readlink(os.path.join(prefix, "bin", "frennick")), "Frennick")
        for doc in ("user-guide.txt", "copyright", "changelog.gz"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share/doc/frennick", doc)))

        if not shutil.which("man"):
            self.skipTest("man is not installed")
        for page in ("Frennick.1.gz", "frennick.1.gz"):
            shown = subprocess.run(
                ["man", "--warnings", "-l", os.path.join(prefix, "share/man/man1", page)],
                cwd=os.path.join(prefix, "share/man"), capture_output=True, text=True,
                env={**os.environ, "MANWIDTH": "80"})
            self.assertEqual(shown.returncode, 0, page)
            self.assertEqual(shown.stderr, "", page)
            for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "MESSAGES", "SAFETY",
                            "EXIT STATUS", "EXAMPLE"):
                self.assertIn(f"\n{heading}\n", shown.stdout)


if __name__ == "__main__":
    unittest.main()
