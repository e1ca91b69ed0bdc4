"""What the command-line tests know of the build they test: its folder, its
CMake cache, and the CMake programs that made it."""

import os
import re

BUILD_DIR = os.environ.get("FRENNICK_BUILD_DIR")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
CPACK = os.path.join(os.path.dirname(CMAKE), "cpack") if os.path.isabs(CMAKE) else "cpack"
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def cache():
    """The build's CMake cache as a dict of name to value."""
    values = {}
    if BUILD_DIR:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
            for line in f:
                match = re.match(r"^([A-Za-z_0-9]+):[A-Z]+=(.*)$", line.rstrip("\n"))
                if match:
                    values[match.group(1)] = match.group(2)
    return values


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(Frennick VERSION ([0-9.]+)", f.read()).group(1)
