#include "platform/Directory.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace velkin {

namespace {

int openDirectory(const std::filesystem::path& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Creates `path` and its missing parents, deepest last. A directory made here
// gets 0700 through its own descriptor: mkdir's mode passes through the umask,
// which may take bits away but must not leave any added.
int makeDirectories(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno == EEXIST) {
      return 0;
    }
    if (errno != ENOENT || !path.has_relative_path() || path.parent_path() == path) {
      return errno;
    }
    if (const int failed = makeDirectories(path.parent_path())) {
      return failed;
    }
    if (::mkdir(path.c_str(), 0700) != 0) {
      return errno == EEXIST ? 0 : errno;
    }
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    (void)::fchmod(fd, 0700);
    (void)::close(fd);
  }
  return 0;
}

}  // namespace

Result<Directory> Directory::open(const std::filesystem::path& path) {
  int fd = openDirectory(path);
  if (fd < 0 && errno == ENOENT) {
    // Whatever went wrong while creating it shows when it is opened again.
    (void)makeDirectories(path);
    fd = openDirectory(path);
  }
  if (fd < 0) {
    return Error{"POSIX", errno, ""};
  }
  Directory directory;
  directory.fd_ = std::shared_ptr<const int>(new int(fd), [](const int* owned) {
    (void)::close(*owned);
    delete owned;
  });
  directory.path_ = path;
  return directory;
}

int Directory::descriptor() const {
  return fd_ ? *fd_ : -1;
}

int Directory::openFile(std::string_view name, int flags, mode_t mode) const {
  const std::string entry(name);
  int fd = -1;
  do {
    fd = ::openat(descriptor(), entry.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int Directory::remove(std::string_view name) const {
  return ::unlinkat(descriptor(), std::string(name).c_str(), 0) == 0 ? 0 : errno;
}

int Directory::rename(std::string_view from, std::string_view to) const {
  return ::renameat(descriptor(), std::string(from).c_str(), descriptor(),
                    std::string(to).c_str()) == 0
             ? 0
             : errno;
}

int Directory::status(std::string_view name, struct stat& result) const {
  return ::fstatat(descriptor(), std::string(name).c_str(), &result, AT_SYMLINK_NOFOLLOW) == 0
             ? 0
             : errno;
}

void Directory::sync() const {
  (void)::fsync(descriptor());
}

}  // namespace velkin
