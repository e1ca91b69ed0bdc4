#!/bin/sh
# MinGW-w64's strip writes the time it runs into the executable's header, so
# that two strips of one build differ; the linker wrote none (0). Stripped
# with that time instead, the packaged Frennick.exe is the same every time.
SOURCE_DATE_EPOCH=0 exec x86_64-w64-mingw32-strip "$@"
