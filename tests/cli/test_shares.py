"""Carts on file systems that report a failed write late: shares (sshfs
through a local sshd, here) and disks mounted through FUSE (the tests' own
late_fs, ntfs-3g, exfat-fuse). A write there returns at once and its failure
comes with a later write or the sync: every page must still be left whole,
the message must name a page where the cart really stops, with the errno
the file system gave, and a run again must finish the job. Needs root to
mount; whatever is not installed is skipped, with its reason."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import cart_model
from cart_model import PAGE, PIXEL_OFFSETS, SIGNATURE
from frennick_cli import WINDOWS, CartTestCase
import strace_io

LATE_FS = os.environ.get("FRENNICK_LATE_FS", "")


def sparse_cart(pages):
    """Page 1 with pixel bytes 0xFF; every page after it zeros, which all
    invert: written as holes (see write_cart), every page needs new room."""
    cart = bytearray(pages * PAGE)
    cart[PAGE:PAGE + 16] = SIGNATURE
    for p in PIXEL_OFFSETS:
        cart[PAGE + p] = 0xFF
    return bytes(cart)


def write_cart(path, cart):
    """The cart at `path`, its pages of zeros after page 1 left as holes."""
    with open(path, "wb") as f:
        f.truncate(len(cart))
        f.write(cart[:max(2 * PAGE, len(cart.rstrip(b"\0")))])


def fill_up(path, byte):
    """Writes `byte` into a new file at `path` until the disk is full."""
    try:
        with open(path, "wb") as f:
            while True:
                f.write(bytes([byte]) * 65536)
    except OSError:
        pass


def mounted(path, timeout=10):
    deadline = time.monotonic() + timeout
    while not os.path.ismount(path):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class SharedCartCase(CartTestCase):
    """A mount of its own at self.mount; the cart's own bytes in a folder
    behind it, self.behind (where the share's server or the FUSE file
    system keeps them)."""

    def setUp(self):
        super().setUp()
        self.undo = []
        if WINDOWS or os.name != "posix" or os.geteuid() != 0:
            self.skipTest("mounting needs root on Linux")
        self.mount = self.path("mount")
        os.mkdir(self.mount)

    def tearDown(self):
        # Mounts and servers first, last made first: the scratch folder
        # that holds them goes after.
        for undo in reversed(self.undo):
            undo()
        super().tearDown()

    def check_run(self, original, result, rerun=False):
        """Every page whole; a stop names a page before which every page is
        done. A whole run (or a run again) leaves the cart as one whole run
        does. Returns the page named, or None."""
        whole, summary, _ = cart_model.run(original)
        with open(os.path.join(self.behind, "cart.bin"), "rb") as f:
            after = f.read()
        torn = [n for n in range(len(after) // PAGE)
                if after[n * PAGE:(n + 1) * PAGE] not in (original[n * PAGE:(n + 1) * PAGE],
                                                          whole[n * PAGE:(n + 1) * PAGE])]
        self.assertEqual(torn, [], "torn pages")
        if result.status == 0:
            if not rerun:
                self.assertEqual(result.stdout, summary)
            self.assertTrue(after == whole, "the cart differs from a whole run's")
            return None
        match = re.match(r"failed to write page (\d+), errno (\d+)!\n$", result.stdout)
        self.assertIsNotNone(match, result.stdout)
        stopped = int(match.group(1))
        expected, _, _ = cart_model.run(original, stop=stopped)
        self.assertEqual(after[:stopped * PAGE], expected[:stopped * PAGE], "pages before it not done")
        return stopped


class LateFileSystem(SharedCartCase):
    """The tests' own file system through FUSE (late_fs): writes spend a
    budget of room; past it, a write fails at once or only with the next
    write or the sync, and then has room again (a passing fault) or none (a
    full disk that reports its room truly)."""

    def setUp(self):
        super().setUp()
        if not LATE_FS:
            self.skipTest("late_fs was not built: libfuse3 is not installed (Debian: libfuse3-dev fuse3)")
        self.behind = self.path("behind")
        os.mkdir(self.behind)
        self.fs = None

    def start(self, *options):
        self.fs = subprocess.Popen([LATE_FS, "--folder", self.behind, *options, self.mount, "-f"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.undo.append(self.stop)
        if not mounted(self.mount):
            self.skipTest("FUSE would not mount here")

    def stop(self):
        if self.fs and self.fs.poll() is None:
            subprocess.run(["fusermount3", "-u", self.mount], capture_output=True)
            self.fs.wait()

    def put(self, cart):
        with open(os.path.join(self.behind, "cart.bin"), "wb") as f:
            f.write(cart)

    def test_faults_and_full_disks(self):
        # A fault past 300 KiB (the file system claims 10 MiB), late or at
        # once: the batch (pages 2 on) is put back, and the run names its
        # first page with the errno the file system gave. A full disk that
        # reports its room truly: the run stops for want of room where it
        # says (words None). A file system that tells no size at all: its
        # room is unknown, not none, and the run completes (words "").
        # A rerun with room finishes the job.
        random = self.demo_cart("random.bin", "--random", "--pages", "512", "--seed", "4")
        for name, cart, options, words in (
                ("no size told, as fusefat", random, ["--budget", str(1 << 40), "--no-size", "--late"], ""),
                ("a fault reported late", random, ["--budget", "307200", "--claims", "10485760", "--late"],
                 "failed to write page 2, errno 5!\n"),
                ("a fault reported at once", random, ["--budget", "307200", "--claims", "10485760"],
                 "failed to write page 2, errno 5!\n"),
                ("a full disk, a sparse cart, late", sparse_cart(512),
                 ["--budget", "307200", "--late", "--full"], None),
                ("a full disk, a random cart, late", random,
                 ["--budget", "307200", "--late", "--full"], None),
                # Room told as it was at the start, however much is spent, as
                # btrfs tells it until it commits: the run keeps its own account.
                ("a full disk whose room is told stale, late", random,
                 ["--budget", "614400", "--late", "--full", "--stale"], None)):
            with self.subTest(case=name):
                self.put(cart)
                self.start(*options)
                result = self.frennick(os.path.join(self.mount, "cart.bin"))
                self.stop()
                stopped = self.check_run(cart, result)
                if words == "":
                    self.assertEqual((result.status, stopped), (0, None), result.stdout)
                elif words:
                    self.assertEqual((result.stdout, result.status), (words, 1))
                else:
                    self.assertRegex(result.stdout, r"^failed to write page \d+, errno 28!\n$")
                    self.assertGreater(stopped, 2)
                self.start("--budget", str(1 << 40))
                again = self.frennick(os.path.join(self.mount, "cart.bin"))
                self.assertEqual(again.status, 0, again.stdout)
                self.check_run(cart, again, rerun=True)
                self.stop()

    @unittest.skipUnless(strace_io.available(), "strace is not installed")
    def test_injected_faults(self):
        # The injected-fault table's failures on a file system that reports
        # failures late: a write or the sync that fails puts the batch back
        # (every page from 2 on: one batch), and the cart is left as it was.
        # Writes go to the file system directly; space the file system
        # cannot set aside is asked for once.
        cart = self.demo_cart("cart.bin", "--random", "--pages", "103", "--tail", "1234", "--seed", "3")
        sparse = cart + bytes(64 * PAGE)
        for name, original, injection, words in (
                ("EIO on the third write", cart, f"{strace_io.WRITE}:error=EIO:when=3",
                 "failed to write page 2, errno 5!\n"),
                ("EIO on the sync", cart, "fdatasync,fsync:error=EIO:when=1",
                 "failed to write page 2, errno 5!\n"),
                # Pages 2-102 go out in four writes; the fifth puts page 2
                # back, and fails: page 2 must go back again after the sync.
                ("EIO on the sync, then on putting back page 2", cart,
                 ("fdatasync,fsync:error=EIO:when=1", f"{strace_io.WRITE}:error=EIO:when=5"),
                 "failed to write page 2, errno 5!\n"),
                ("ENOSPC on the first write", cart, f"{strace_io.WRITE}:error=ENOSPC:when=1",
                 "failed to write page 2, errno 28!\n"),
                ("a sparse cart, space not set aside", sparse, None, None)):
            with self.subTest(case=name):
                self.put(cart)
                if original is sparse:
                    os.truncate(os.path.join(self.behind, "cart.bin"), len(sparse))  # a hole at the end
                self.start("--budget", str(1 << 40))
                log = self.path("trace.log")
                cart_path = os.path.join(self.mount, "cart.bin")
                injections = (injection,) if isinstance(injection, str) else injection or ()
                prefix = strace_io.strace_prefix(cart_path, log,
                                                 *[o for i in injections for o in ("-e", f"inject={i}")])
                result = self.frennick(cart_path, prefix=prefix)
                self.stop()
                if words:
                    self.assertEqual((result.stdout, result.status), (words, 1))
                    with open(os.path.join(self.behind, "cart.bin"), "rb") as f:
                        self.assertTrue(f.read() == original, "the cart was changed")
                else:
                    self.check_run(original, result)
                with open(log) as f:
                    traced = f.read()
                self.assertRegex(traced, r"fcntl(64)?\(3, F_SETFL, [^)]*O_DIRECT", "not written directly")
                if original is sparse:
                    self.assertEqual(traced.count("fallocate("), 1, "space asked for more than once")


class Share(SharedCartCase):
    """sshfs through an sshd of the test's own on a spare port, with a key
    of its own, the server's folder on a tmpfs or a small btrfs (a NAS that
    copies on write)."""

    def setUp(self):
        super().setUp()
        for program, package in (("sshfs", "sshfs"), ("ssh-keygen", "openssh-client")):
            if shutil.which(program) is None:
                self.skipTest(f"{program} is not installed (Debian: {package})")
        if not os.path.exists("/usr/sbin/sshd"):
            self.skipTest("sshd is not installed (Debian: openssh-server)")
        keys = self.path("keys")
        os.mkdir(keys)
        for name in ("host", "client"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(keys, name)],
                           check=True)
        shutil.copy(os.path.join(keys, "client.pub"), os.path.join(keys, "authorized"))
        self.port = 20000 + os.getpid() % 20000
        with open(os.path.join(keys, "config"), "w") as f:
            f.write(f"Port {self.port}\nListenAddress 127.0.0.1\nHostKey {keys}/host\n"
                    f"AuthorizedKeysFile {keys}/authorized\nPermitRootLogin yes\nPasswordAuthentication no\n"
                    f"StrictModes no\nSubsystem sftp internal-sftp\nPidFile {keys}/pid\n")
        os.makedirs("/run/sshd", exist_ok=True)
        subprocess.run(["/usr/sbin/sshd", "-f", os.path.join(keys, "config")], check=True)
        self.undo.append(lambda: subprocess.run(["pkill", "-F", os.path.join(keys, "pid")]))
        self.keys = keys
        self.behind = self.path("server")
        os.mkdir(self.behind)

    def serve(self, kind, size_mib):
        """The server's folder on a file system of its own, shared."""
        if kind == "tmpfs":
            made = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size_mib}m", "tmpfs", self.behind],
                                  capture_output=True, text=True)
        else:
            if shutil.which("mkfs.btrfs") is None:
                self.skipTest("mkfs.btrfs is not installed (Debian: btrfs-progs)")
            image = self.path("server.img")
            with open(image, "wb") as f:
                f.truncate(size_mib << 20)
            subprocess.run(["mkfs.btrfs", "-q", "-f", image], check=True, capture_output=True)
            made = subprocess.run(["mount", "-o", "loop", image, self.behind], capture_output=True, text=True)
        if made.returncode != 0:
            self.skipTest("mount refused: " + made.stderr.strip())
        self.undo.append(lambda: subprocess.run(["umount", self.behind], capture_output=True))
        subprocess.run(["sshfs", "-p", str(self.port), "-o",
                        f"IdentityFile={self.keys}/client,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null",
                        f"root@127.0.0.1:{self.behind}", self.mount], check=True)
        self.undo.append(lambda: subprocess.run(["fusermount3", "-u", self.mount], capture_output=True))

    def fill(self, room_kib):
        filler = os.path.join(self.behind, "filler")
        fill_up(filler, 0x55)
        os.truncate(filler, max(0, os.path.getsize(filler) - room_kib * 1024))
        subprocess.run(["sync"], check=True)

    def test_nearly_full_servers(self):
        # A tmpfs server and a sparse cart (every page needs room), and a
        # small btrfs server and a random cart (every overwrite needs room):
        # at each level the run stops whole, says where with the errno the
        # share gave, and once room is made, a run again finishes the job.
        random = self.demo_cart("random.bin", "--random", "--pages", "4096", "--seed", "5")
        for kind, size, cart, levels in (("tmpfs", 64, sparse_cart(512), (4, 100, 1000)),
                                         ("btrfs", 300, random, (256, 512, 1024, 4096))):
            with self.subTest(server=kind):
                self.serve(kind, size)
                for room in levels:
                    with self.subTest(room_kib=room):
                        for name in os.listdir(self.behind):
                            os.remove(os.path.join(self.behind, name))
                        write_cart(os.path.join(self.behind, "cart.bin"), cart)
                        subprocess.run(["sync"], check=True)
                        self.fill(room)
                        result = self.frennick(os.path.join(self.mount, "cart.bin"))
                        self.assertEqual(result.status, 1, result.stdout)
                        self.check_run(cart, result)
                        os.remove(os.path.join(self.behind, "filler"))
                        subprocess.run(["sync"], check=True)
                        again = self.frennick(os.path.join(self.mount, "cart.bin"))
                        self.assertEqual(again.status, 0, again.stdout)
                        self.check_run(cart, again, rerun=True)
                for undo in reversed(self.undo[-2:]):
                    undo()
                del self.undo[-2:]


class FuseDisk(SharedCartCase):
    """A Windows disk (ntfs-3g) and an SD card's exFAT (exfat-fuse), as
    images mounted through FUSE: a run exact; on a full exFAT card too; and,
    on NTFS, a sparse cart on a full disk stopped whole at the page with no
    room."""

    def mount_image(self, kind, size_mib):
        image = self.path(f"{kind}.img")
        with open(image, "wb") as f:
            f.truncate(size_mib << 20)
        if kind == "ntfs":
            tools = (("mkntfs", "ntfs-3g"), ("ntfs-3g", "ntfs-3g"))
            commands = [["mkntfs", "-F", "-Q", image], ["ntfs-3g", image, self.mount]]
        else:
            tools = (("mkfs.exfat", "exfatprogs"), ("mount.exfat-fuse", "exfat-fuse"))
            loop = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
            if loop.returncode != 0:
                self.skipTest("no loop device: " + loop.stderr.strip())
            device = loop.stdout.strip()
            self.undo.append(lambda: subprocess.run(["losetup", "-d", device]))
            commands = [["mkfs.exfat", image], ["mount.exfat-fuse", device, self.mount]]
        for program, package in tools:
            if shutil.which(program) is None:
                self.skipTest(f"{program} is not installed (Debian: {package})")
        for command in commands:
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                self.skipTest(f"{command[0]} failed: {done.stderr.strip()}")
        self.undo.append(lambda: subprocess.run(["umount", self.mount], capture_output=True))
        self.behind = self.mount

    def test_exact_and_full(self):
        random = self.demo_cart("random.bin", "--random", "--pages", "2048", "--tail", "77", "--seed", "8")
        for kind in ("ntfs", "exfat"):
            with self.subTest(disk=kind):
                self.mount_image(kind, 64)
                with open(os.path.join(self.mount, "cart.bin"), "wb") as f:
                    f.write(random)
                self.assertIsNone(self.check_run(random, self.frennick(os.path.join(self.mount, "cart.bin"))))
                if kind == "exfat":
                    # Full, as an SD card often is: overwriting in place
                    # takes no room there, and the run completes.
                    write_cart(os.path.join(self.mount, "cart.bin"), random)
                    fill_up(os.path.join(self.mount, "filler"), 0xAA)
                    self.assertIsNone(self.check_run(random, self.frennick(os.path.join(self.mount, "cart.bin"))))
                if kind == "ntfs":
                    os.remove(os.path.join(self.mount, "cart.bin"))
                    cart = sparse_cart(4096)
                    write_cart(os.path.join(self.mount, "cart.bin"), cart)
                    fill_up(os.path.join(self.mount, "filler"), 0xAA)
                    result = self.frennick(os.path.join(self.mount, "cart.bin"))
                    self.assertRegex(result.stdout, r"^failed to write page \d+, errno 28!\n$")
                    self.check_run(cart, result)
                for undo in reversed(self.undo):
                    undo()
                self.undo.clear()


if __name__ == "__main__":
    unittest.main()
