"""Runs one suite of command-line tests for CTest. Every case skipped is
listed with its reason, in the output and in skipped-cases.txt in the build
folder; a suite whose cases were all skipped exits 77, which CTest reports
as skipped rather than passed."""

import os
import sys
import unittest

SKIPPED = 77


def main(name):
    suite = unittest.defaultTestLoader.loadTestsFromName(name)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    lines = [f"skipped: {test.id()}: {reason}" for test, reason in result.skipped]
    print("\n".join(lines))
    build_dir = os.environ.get("FRENNICK_BUILD_DIR")
    if build_dir and lines:
        with open(os.path.join(build_dir, "skipped-cases.txt"), "a") as f:
            f.write("".join(line + "\n" for line in lines))
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0 or len(result.skipped) == result.testsRun:
        print(f"every case of {name} was skipped")
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
