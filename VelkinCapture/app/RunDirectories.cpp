#include "app/RunDirectories.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <utility>

#include "platform/Console.hpp"

namespace velkin {

namespace {

std::string describe(std::string_view role, const std::filesystem::path& path) {
  return "The " + std::string(role) + " directory " + escapeText(path.string());
}

// The kernel's lock table names the process that holds a flock on a given
// file: "1: FLOCK  ADVISORY  WRITE 4242 00:2d:1234 0 EOF" (waiters carry "->").
std::optional<pid_t> lockHolder(dev_t device, ino_t inode) {
  std::ifstream table("/proc/locks");
  std::string line;
  while (std::getline(table, line)) {
    char kind[16] = {};
    int pid = 0;
    unsigned int major = 0;
    unsigned int minor = 0;
    unsigned long long number = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %d %x:%x:%llu", kind, &pid, &major, &minor,
                    &number) == 5 &&
        std::string_view(kind) == "FLOCK" && major == ::major(device) && minor == ::minor(device) &&
        number == inode && pid > 0) {
      return pid;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Error> HeldDirectory::open(const std::filesystem::path& path, std::string_view role,
                                         HeldDirectory& opened) {
  Result<Directory> directory = Directory::open(path);
  struct stat status {};
  if (!directory || ::fstat(directory.value().descriptor(), &status) != 0) {
    return posixError(directory ? errno : static_cast<int>(directory.error().code),
                      describe(role, path) + " is unusable");
  }
  opened.directory_ = std::move(directory.value());
  opened.device_ = status.st_dev;
  opened.inode_ = status.st_ino;
  opened.role_ = role;
  return std::nullopt;
}

std::string HeldDirectory::described() const {
  return describe(role_, path());
}

std::optional<Error> HeldDirectory::lock() {
  while (::flock(directory_.descriptor(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return std::nullopt;
    }
    const std::optional<pid_t> holder = lockHolder(device_, inode_);
    return Error{"Velkin", EWOULDBLOCK,
                 described() + " is in use by " +
                     (holder ? "the agent with pid " + std::to_string(*holder)
                             : std::string("another agent"))};
  }
  return std::nullopt;
}

bool HeldDirectory::sameAs(const HeldDirectory& other) const {
  return device_ == other.device_ && inode_ == other.inode_;
}

std::optional<Error> probeWritable(const HeldDirectory& directory) {
  // As long as the longest segment marker name, and never taken for a segment.
  char name[40];
  std::snprintf(name, sizeof name, ".velkin-capture-probe-%010d", static_cast<int>(::getpid()));
  const int fd =
      directory.directory().openFile(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) {
    return posixError(errno, directory.described() + " cannot hold files");
  }
  (void)::close(fd);
  if (const int failed = directory.directory().remove(name)) {
    return posixError(failed, directory.described() + " cannot hold files");
  }
  return std::nullopt;
}

std::optional<Error> removeStaleStop(const HeldDirectory& control) {
  struct stat status {};
  int failed = control.directory().status("capture.stop", status);
  if (failed == ENOENT) {
    return std::nullopt;
  }
  if (failed == 0 && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
    return Error{"Velkin", EISDIR,
                 control.described() + " holds an earlier capture.stop that is not a file"};
  }
  if (failed == 0) {
    failed = control.directory().remove("capture.stop");
  }
  if (failed != 0) {
    return posixError(
        failed, control.described() + " holds an earlier capture.stop that cannot be removed");
  }
  return std::nullopt;
}

std::optional<Error> checkFileSizeLimit() {
  // Five seconds of 48 kHz stereo 16-bit audio after a 4,096-byte header, with room.
  constexpr rlim_t kSegmentBytes = 1 << 20;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= kSegmentBytes) {
    return std::nullopt;
  }
  return Error{"Velkin", EFBIG,
               "The file-size limit of " + std::to_string(limit.rlim_cur) +
                   " bytes is too small for a segment, which needs " +
                   std::to_string(kSegmentBytes) + " bytes"};
}

std::optional<Error> checkPrintable(const std::filesystem::path& path, std::string_view role) {
  const std::string text = path.string();
  if (escapeText(text) == text) {
    return std::nullopt;
  }
  return Error{"Velkin", EINVAL,
               describe(role, path) + " has a control character or a byte that is not UTF-8 " +
                   "in its path"};
}

}  // namespace velkin
