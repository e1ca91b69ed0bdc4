// A file system for the tests, through FUSE: the files of a folder, as
// they are, with a budget of bytes that writes may take, as a share over a
// copy-on-write disk spends room on every write. A write past the budget
// writes the bytes that fit and fails with --error (EIO), at once, or
// (--late) only with the next write or the sync, as a share reports it,
// while the write itself says it took everything. Then the budget has no
// end, as after a passing fault, or (--full) stays spent, as a full disk.
// --claims adds that many bytes to the room it reports, as a file system
// whose free figure is only an estimate; --no-size reports a file system of
// no size and no room, as fusefat does; --stale reports the room there was
// at the start, however much is spent, as btrfs does until it commits.
//
//   late_fs --folder DIR --budget BYTES [--claims BYTES] [--no-size]
//           [--stale] [--late] [--full] [--error ERRNO] MOUNTPOINT
//           [FUSE options]
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Settings {
  std::string folder;
  std::int64_t budget = 0;
  std::int64_t claims = 0;
  bool late = false;
  bool full = false;
  bool noSize = false;
  bool stale = false;
  std::int64_t startingBudget = 0;
  int error = EIO;
} settings;

std::mutex guard;
// An error that a write took in silence, for the next write or sync.
int pending = 0;

std::string real(const char* path) { return settings.folder + path; }

int fsGetattr(const char* path, struct stat* status, fuse_file_info*) {
  return lstat(real(path).c_str(), status) == 0 ? 0 : -errno;
}

int fsReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
              fuse_file_info*, fuse_readdir_flags) {
  DIR* folder = opendir(real(path).c_str());
  if (folder == nullptr) return -errno;
  while (const dirent* entry = readdir(folder)) {
    fill(buffer, entry->d_name, nullptr, 0,
         static_cast<fuse_fill_dir_flags>(0));
  }
  closedir(folder);
  return 0;
}

int fsOpen(const char* path, fuse_file_info* info) {
  const int descriptor = open(real(path).c_str(), info->flags & ~O_DIRECT);
  if (descriptor < 0) return -errno;
  info->fh = static_cast<std::uint64_t>(descriptor);
  return 0;
}

int fsRead(const char*, char* buffer, size_t size, off_t offset,
           fuse_file_info* info) {
  const ssize_t got = pread(static_cast<int>(info->fh), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int fsWrite(const char*, const char* buffer, size_t size, off_t offset,
            fuse_file_info* info) {
  const std::lock_guard<std::mutex> lock(guard);
  if (pending != 0) {
    const int error = pending;
    pending = 0;
    return -error;
  }
  const auto fits = static_cast<size_t>(std::clamp<std::int64_t>(
      settings.budget, 0, static_cast<std::int64_t>(size)));
  if (fits > 0 && pwrite(static_cast<int>(info->fh), buffer, fits, offset) !=
                      static_cast<ssize_t>(fits)) {
    return -errno;
  }
  settings.budget -= static_cast<std::int64_t>(fits);
  if (fits == size) return static_cast<int>(size);
  if (!settings.full) settings.budget = INT64_MAX / 2;
  if (settings.late) {
    pending = settings.error;
    return static_cast<int>(size);
  }
  return fits > 0 ? static_cast<int>(fits) : -settings.error;
}

int reportPending() {
  const std::lock_guard<std::mutex> lock(guard);
  const int error = pending;
  pending = 0;
  return -error;
}

int fsFsync(const char*, int, fuse_file_info* info) {
  const int error = reportPending();
  if (error != 0) return error;
  return fdatasync(static_cast<int>(info->fh)) == 0 ? 0 : -errno;
}

int fsFlush(const char*, fuse_file_info*) { return reportPending(); }

int fsRelease(const char*, fuse_file_info* info) {
  close(static_cast<int>(info->fh));
  return 0;
}

int fsStatfs(const char*, struct statvfs* status) {
  if (statvfs(settings.folder.c_str(), status) != 0) return -errno;
  const std::lock_guard<std::mutex> lock(guard);
  const std::int64_t room =
      std::min<std::int64_t>(
          std::max<std::int64_t>(
              0, settings.stale ? settings.startingBudget : settings.budget),
          INT64_MAX / 4) +
      settings.claims;
  status->f_bavail = status->f_bfree =
      settings.noSize ? 0 : static_cast<fsblkcnt_t>(room) / status->f_frsize;
  if (settings.noSize) status->f_blocks = 0;
  return 0;
}

int fsTruncate(const char* path, off_t size, fuse_file_info*) {
  return truncate(real(path).c_str(), size) == 0 ? 0 : -errno;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--folder" && i + 1 < argc) {
      settings.folder = argv[++i];
    } else if (option == "--budget" && i + 1 < argc) {
      settings.budget = settings.startingBudget = std::atoll(argv[++i]);
    } else if (option == "--claims" && i + 1 < argc) {
      settings.claims = std::atoll(argv[++i]);
    } else if (option == "--error" && i + 1 < argc) {
      settings.error = std::atoi(argv[++i]);
    } else if (option == "--stale") {
      settings.stale = true;
    } else if (option == "--no-size") {
      settings.noSize = true;
    } else if (option == "--late") {
      settings.late = true;
    } else if (option == "--full") {
      settings.full = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  fuse_operations operations{};
  operations.getattr = fsGetattr;
  operations.readdir = fsReaddir;
  operations.open = fsOpen;
  operations.read = fsRead;
  operations.write = fsWrite;
  operations.flush = fsFlush;
  operations.fsync = fsFsync;
  operations.release = fsRelease;
  operations.statfs = fsStatfs;
  operations.truncate = fsTruncate;
  return fuse_main(static_cast<int>(rest.size()), rest.data(), &operations,
                   nullptr);
}
