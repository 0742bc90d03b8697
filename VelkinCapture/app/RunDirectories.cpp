#include "app/RunDirectories.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <utility>

namespace velkin {

namespace {

std::string describe(std::string_view role, const std::filesystem::path& path) {
  return "The " + std::string(role) + " directory " + escapeControlCharacters(path.string());
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

HeldDirectory::~HeldDirectory() {
  if (fd_ >= 0) {
    (void)::close(fd_);
  }
}

HeldDirectory::HeldDirectory(HeldDirectory&& other) noexcept {
  *this = std::move(other);
}

HeldDirectory& HeldDirectory::operator=(HeldDirectory&& other) noexcept {
  std::swap(fd_, other.fd_);
  std::swap(device_, other.device_);
  std::swap(inode_, other.inode_);
  std::swap(path_, other.path_);
  std::swap(role_, other.role_);
  return *this;
}

std::optional<Error> HeldDirectory::open(const std::filesystem::path& path, std::string_view role,
                                         HeldDirectory& opened) {
  std::error_code ignored;  // whatever went wrong shows when it is opened
  std::filesystem::create_directories(path, ignored);
  HeldDirectory directory;
  directory.path_ = path;
  directory.role_ = role;
  // Close-on-exec: a child that inherited the descriptor would share the lock.
  directory.fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat status {};
  if (directory.fd_ < 0 || ::fstat(directory.fd_, &status) != 0) {
    return posixError(errno, describe(role, path) + " is unusable");
  }
  directory.device_ = status.st_dev;
  directory.inode_ = status.st_ino;
  opened = std::move(directory);
  return std::nullopt;
}

std::optional<Error> HeldDirectory::lock() {
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      return std::nullopt;
    }
    const std::optional<pid_t> holder = lockHolder(device_, inode_);
    return Error{"Velkin", EWOULDBLOCK,
                 describe(role_, path_) + " is in use by " +
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
  const std::filesystem::path probe = directory.path() / name;
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return posixError(errno, describe("segment", directory.path()) + " cannot hold files");
  }
  (void)::close(fd);
  if (::unlink(probe.c_str()) != 0) {
    return posixError(errno, describe("segment", directory.path()) + " cannot hold files");
  }
  return std::nullopt;
}

std::optional<Error> checkPrintable(const std::filesystem::path& path, std::string_view role) {
  const std::string text = path.string();
  if (escapeControlCharacters(text) == text) {
    return std::nullopt;
  }
  return Error{"Velkin", EINVAL, describe(role, path) + " has a control character in its path"};
}

std::string escapeControlCharacters(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      escaped += code;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace velkin
