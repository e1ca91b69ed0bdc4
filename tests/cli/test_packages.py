"""The packages people install, made by CPack from this build: what each
holds, that its binaries are stripped and run, and on Linux that the .deb
puts Frennick in /usr/bin with its manual page and the tarball's Frennick
needs no C library of the system's (a static executable)."""

import os
import shutil
import subprocess
import tarfile
import tempfile
import unittest
import zipfile

import build_tree
import cart_model
from frennick_cli import EMULATOR, WINDOWS, CartTestCase

VERSION = build_tree.project_version()


def strip_changes(strip, binary, scratch):
    """Whether stripping a copy of `binary` changes it: it was not stripped."""
    copy = os.path.join(scratch, "stripped")
    shutil.copyfile(binary, copy)
    subprocess.run([strip, copy], check=True, capture_output=True)
    with open(binary, "rb") as a, open(copy, "rb") as b:
        return a.read() != b.read()


@unittest.skipUnless(build_tree.BUILD_DIR, "needs the build folder")
class Packages(CartTestCase):
    @classmethod
    def setUpClass(cls):
        cls.cache = build_tree.cache()
        cls.out = tempfile.TemporaryDirectory(prefix="frennick-packages-")
        made = subprocess.run([build_tree.CPACK, "--config",
                               os.path.join(build_tree.BUILD_DIR, "CPackConfig.cmake"),
                               "-B", cls.out.name], capture_output=True, text=True)
        if made.returncode != 0:
            raise AssertionError("cpack failed:\n" + made.stdout + made.stderr)
        cls.made = sorted(f for f in os.listdir(cls.out.name)
                          if os.path.isfile(os.path.join(cls.out.name, f)))

    @classmethod
    def tearDownClass(cls):
        cls.out.cleanup()

    def package(self, name):
        self.assertIn(name, self.made)
        return os.path.join(self.out.name, name)

    def check_binary(self, binary, emulator=None):
        self.assertFalse(strip_changes(self.cache["CMAKE_STRIP"], binary, self.dir),
                         f"{binary} is not stripped")
        data = self.demo_cart("cart.bin", "--pages", "20")
        expected, stdout, _ = cart_model.run(data)
        result = self.run_binary(binary, "cart.bin", emulator=emulator)
        self.assertEqual((result.stdout, result.status), (stdout, 0))
        self.assertEqual(self.read("cart.bin"), expected)

    @unittest.skipUnless(WINDOWS, "the Windows package")
    def test_windows_zip(self):
        with zipfile.ZipFile(self.package(f"Frennick-{VERSION}-windows-x86_64.zip")) as z:
            names = sorted(n.split("/", 1)[1] for n in z.namelist() if not n.endswith("/"))
            self.assertEqual(names, ["LICENSE", "bin/Frennick.exe", "user-guide.txt"])
            z.extractall(self.dir)
        root = os.path.join(self.dir, f"Frennick-{VERSION}-windows-x86_64")
        with open(os.path.join(root, "user-guide.txt"), "rb") as f:
            guide = f.read()
        self.assertIn(b"Messages and exit status\r\n", guide)
        self.assertNotIn(b"cmake", guide.lower(), "build steps in the user's guide")
        exe = os.path.join(root, "bin", "Frennick.exe")
        self.check_binary(exe)
        with open(exe, "rb") as f:
            image = f.read()
        for key, value in (("ProductName", "Frennick"), ("FileVersion", VERSION),
                           ("FileDescription", "Reduces video speckles")):
            self.assertIn(key.encode("utf-16-le"), image, f"no {key} in the version resource")
            self.assertIn(value.encode("utf-16-le"), image, f"no {value} in the version resource")

    @unittest.skipIf(WINDOWS, "a Linux package")
    def test_tarball(self):
        tarballs = [n for n in self.made if n.startswith(f"Frennick-{VERSION}-linux-")
                    and n.endswith(".tar.gz")]
        self.assertEqual(len(tarballs), 1, self.made)
        with tarfile.open(self.package(tarballs[0])) as t:
            t.extractall(self.dir)
        root = os.path.join(self.dir, tarballs[0][:-len(".tar.gz")])
        binary = os.path.join(root, "bin", "Frennick")
        self.assertEqual(os.readlink(os.path.join(root, "bin", "frennick")), "Frennick")
        self.assertTrue(os.path.isfile(os.path.join(root, "share/man/man1/Frennick.1.gz")))
        self.assertTrue(os.path.isfile(os.path.join(root, "share/doc/frennick/user-guide.txt")))
        if self.cache.get("FRENNICK_STATIC") == "ON":
            headers = subprocess.run(["readelf", "--program-headers", binary],
                                     capture_output=True, text=True, check=True).stdout
            self.assertNotIn("INTERP", headers, "asks for a dynamic loader")
            self.assertNotIn("DYNAMIC", headers, "links shared libraries")
            # It runs with none of the target's libraries to hand: under an
            # emulator, without the target's root.
            self.check_binary(binary, emulator=EMULATOR[:1])
        else:
            self.check_binary(binary)

    @unittest.skipIf(WINDOWS or not shutil.which("dpkg-deb"), "a Debian package")
    def test_deb(self):
        debs = [n for n in self.made if n.endswith(".deb")]
        self.assertEqual(len(debs), 1, self.made)
        deb = self.package(debs[0])
        fields = {f: subprocess.run(["dpkg-deb", "--field", deb, f], capture_output=True,
                                    text=True, check=True).stdout.strip()
                  for f in ("Package", "Version", "Architecture")}
        self.assertEqual(debs[0], f"frennick_{VERSION}_{fields['Architecture']}.deb")
        self.assertEqual((fields["Package"], fields["Version"]), ("frennick", VERSION))
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        self.assertEqual(os.readlink(os.path.join(root, "usr/bin/frennick")), "Frennick")
        self.assertTrue(os.path.isfile(os.path.join(root, "usr/share/man/man1/Frennick.1.gz")))
        self.check_binary(os.path.join(root, "usr/bin/Frennick"))


if __name__ == "__main__":
    unittest.main()
