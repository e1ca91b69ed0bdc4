"""The same sources built twice for release, in two folders of different
names, give byte-identical Frennick binaries and manual pages, dated by the
release rather than the day of the build."""

import os
import shutil
import subprocess
import unittest

import build_tree
from frennick_cli import WINDOWS, CartTestCase

TRACKED = ("CMakeLists.txt", "core", "tool", "demo", "docs", "cmake", "LICENSE", "README.md")


@unittest.skipUnless(build_tree.BUILD_DIR, "needs the build folder")
class ReproducibleBuild(CartTestCase):
    def build(self, folder):
        source = self.path(folder)
        os.makedirs(source)
        for name in TRACKED:
            origin = os.path.join(build_tree.SOURCE_DIR, name)
            copy = shutil.copytree if os.path.isdir(origin) else shutil.copyfile
            copy(origin, os.path.join(source, name))
        cache = build_tree.cache()
        # A release build with this build's compiler or toolchain: what is
        # packaged (sanitizer builds' own flags are not the point here).
        settings = ["CMAKE_CXX_COMPILER", "CMAKE_TOOLCHAIN_FILE", "FRENNICK_STATIC"]
        options = ["-DCMAKE_BUILD_TYPE=Release"]
        options += [f"-D{name}={cache[name]}" for name in settings if cache.get(name)]
        options = [o.replace(build_tree.SOURCE_DIR, source) for o in options]
        binary_dir = os.path.join(source, "build-" + folder)
        for step in ([build_tree.CMAKE, "-S", source, "-B", binary_dir, "-G", "Ninja",
                      "-DFRENNICK_BUILD_TESTS=OFF", "-DFRENNICK_BUILD_BENCH=OFF", *options],
                     [build_tree.CMAKE, "--build", binary_dir, "--target", "Frennick",
                      *([] if WINDOWS else ["manual_page"])]):
            done = subprocess.run(step, capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        built = {}
        for name in ("tool/Frennick", "tool/Frennick.exe", "Frennick.1", "Frennick.1.gz"):
            if os.path.exists(os.path.join(binary_dir, name)):
                with open(os.path.join(binary_dir, name), "rb") as f:
                    built[name] = f.read()
        return built

    def test_two_builds_are_the_same_bytes(self):
        first = self.build("one")
        second = self.build("a-second-folder")
        self.assertGreaterEqual(len(first), 1)
        self.assertEqual(sorted(first), sorted(second))
        for name in first:
            self.assertTrue(first[name] == second[name], f"{name} differs")
        if "Frennick.1" in first:
            with open(os.path.join(build_tree.SOURCE_DIR, "CMakeLists.txt")) as f:
                released = next(l.split()[1].rstrip(")") for l in f
                                if l.startswith("set(FRENNICK_RELEASE_DATE"))
            self.assertIn(f'"{released}"'.encode(), first["Frennick.1"].split(b"\n")[0])


if __name__ == "__main__":
    unittest.main()
