"""Runs Frennick under strace, limited to the cart file, to see exactly which
bytes it reads and writes, or to make one of its system calls fail. A
32-bit process seeks with _llseek where a 64-bit one calls lseek."""

import os
import re
import shutil

import frennick_cli

STRACE = shutil.which("strace")
LINE = re.compile(r"^(?:\[pid +\d+\] |\d+ +)?(\w+)\((\d+), (.*)\) += (-?\d+)(?: (\w+))?")


SEEK = "lseek,_llseek"
# Reads and writes of the cart, positional or at the file's position: an
# injection into either reaches the one the binary makes.
READ = "read,pread64"
WRITE = "write,pwrite64"
# The record lock on the cart; a 32-bit process calls fcntl64.
RECORD_LOCK = "fcntl,fcntl64"


# LeakSanitizer cannot run under a tracer; a sanitizer build must still
# report everything else.
TRACER = [STRACE, "-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "signal=none"]


def strace_prefix(cart_path, log_path, *options):
    return [*TRACER, "-P", cart_path,
            "-e", "trace=openat,lseek,_llseek,read,write,pread64,pwrite64,fdatasync,fsync,close,"
            "?fadvise64,?fadvise64_64,?fallocate,?flock,?fcntl,?fcntl64",
            "-o", log_path, *options]


def io_ranges(log_path):
    """The (start, end) byte ranges read and written, in order."""
    reads, writes, position = [], [], 0
    with open(log_path) as log:
        for line in log:
            match = LINE.match(line)
            if not match:
                continue
            call, _, args, result, _ = match.groups()
            result = int(result)
            if call == "lseek" and result >= 0:
                position = result
            elif call == "_llseek" and result == 0:  # a 32-bit process's seek
                position = int(re.search(r"\[(\d+)\]", args).group(1))
            elif call in ("read", "write") and result > 0:
                (reads if call == "read" else writes).append((position, position + result))
                position += result
            elif call in ("pread64", "pwrite64") and result > 0:
                offset = int(args.rsplit(",", 1)[1])
                (reads if call == "pread64" else writes).append((offset, offset + result))
    return reads, writes


def calls_in_order(log_path):
    """(call, first argument) of every traced call, in order."""
    calls = []
    with open(log_path) as log:
        for line in log:
            match = re.match(r"^(?:\[pid +\d+\] |\d+ +)?(\w+)\(([^,)]*)", line)
            if match:
                calls.append(match.groups())
    return calls


def covered(ranges, start, end):
    """How many of the ranges overlap [start, end)."""
    return sum(1 for a, b in ranges if a < end and start < b)


def available():
    return STRACE is not None and os.name == "posix"


def sees_the_c_runtime():
    """Under wine strace sees wine's own system calls, which neither map one
    to one onto the C runtime's nor carry its error numbers. qemu-user hands
    the program's calls on as they are."""
    return available() and not frennick_cli.WINDOWS
