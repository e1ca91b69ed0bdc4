"""`cmake --install` into a fresh prefix: Frennick in bin/ and working, the
manual page in share/man/man1/ rendering without complaint, README and
licence beside them."""

import os
import shutil
import subprocess
import unittest

from frennick_cli import WINDOWS, CartTestCase

BUILD_DIR = os.environ.get("FRENNICK_BUILD_DIR")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")


@unittest.skipIf(WINDOWS or not BUILD_DIR, "installs a native build")
class Install(CartTestCase):
    def test_install_into_a_fresh_prefix(self):
        prefix = self.path("prefix")
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix],
                       check=True, capture_output=True)
        binary = os.path.join(prefix, "bin", "Frennick")
        self.assertTrue(os.access(binary, os.X_OK))
        usage = subprocess.run([binary], capture_output=True, text=True)
        self.assertEqual(usage.returncode, 1)
        self.assertTrue(usage.stdout.startswith("Frennick <cart.bin>\n"))
        for doc in ("README.md", "LICENSE"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share/doc/frennick", doc)))

        page = os.path.join(prefix, "share/man/man1/Frennick.1")
        if not shutil.which("man"):
            self.skipTest("man is not installed")
        shown = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                               text=True, env={**os.environ, "MANWIDTH": "80"})
        self.assertEqual(shown.returncode, 0)
        self.assertEqual(shown.stderr, "")
        for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "MESSAGES", "EXIT STATUS",
                        "EXAMPLE"):
            self.assertIn(f"\n{heading}\n", shown.stdout)
        self.assertIn("failed to close", shown.stdout)


if __name__ == "__main__":
    unittest.main()
