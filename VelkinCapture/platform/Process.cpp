#include "platform/Process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace velkin {

void exitProcess(int status) {
  (void)std::fflush(nullptr);
  std::_Exit(status);
}

void ignoreResourceSignals() {
  (void)::signal(SIGPIPE, SIG_IGN);
  (void)::signal(SIGXFSZ, SIG_IGN);
}

ParentProcess::ParentProcess(pid_t pid) : pid_(pid) {
  if (pid < 0) {
    return;  // a group has no pidfd; kill() asks after it
  }
#ifdef SYS_pidfd_open
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  endedAtOpen_ = pidfd_ < 0 && errno == ESRCH;
#endif
}

ParentProcess::~ParentProcess() {
  if (pidfd_ >= 0) {
    (void)::close(pidfd_);
  }
}

bool ParentProcess::hasEnded() const {
  if (endedAtOpen_) {
    return true;
  }
  if (pidfd_ >= 0) {
    // Readable once the process has ended, before anyone reaps it.
    pollfd entry{pidfd_, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
  return ::kill(pid_, 0) != 0 && errno == ESRCH;
}

}  // namespace velkin
