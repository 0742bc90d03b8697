#include "platform/Process.hpp"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velkin {

namespace {

// Whether a process other than this one has `group` as its process group, as
// /proc lists them; true where /proc cannot be read, so that nothing ends on
// what could not be seen.
bool anotherProcessIn(pid_t group) {
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) {
    return true;
  }
  const std::string self = std::to_string(::getpid());
  bool found = false;
  while (const dirent* entry = ::readdir(processes)) {
    const std::string name = entry->d_name;
    if (found || name == self || name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    // The command name in parentheses may hold anything; the fields after the
    // last ')' are the state, the parent pid and the process group.
    std::FILE* stat = std::fopen(("/proc/" + name + "/stat").c_str(), "re");
    char line[512];
    const bool read = stat != nullptr && std::fgets(line, sizeof line, stat) != nullptr;
    if (stat != nullptr) {
      (void)std::fclose(stat);
    }
    const char* fields = read ? std::strrchr(line, ')') : nullptr;
    char state = 0;
    int parent = 0, processGroup = 0;
    found = fields != nullptr &&
            std::sscanf(fields + 1, " %c %d %d", &state, &parent, &processGroup) == 3 &&
            processGroup == group;
  }
  (void)::closedir(processes);
  return found;
}

}  // namespace

void exitProcess(int status) {
  (void)std::fflush(nullptr);
  std::_Exit(status);
}

void ignoreResourceSignals() {
  (void)::signal(SIGPIPE, SIG_IGN);
  (void)::signal(SIGXFSZ, SIG_IGN);
}

ParentProcess::ParentProcess(pid_t pid) : pid_(pid), inOwnGroup_(pid < 0 && ::getpgrp() == -pid) {
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
  if (::kill(pid_, 0) != 0) {
    return errno == ESRCH;
  }
  // The agent itself keeps its own group alive in kill()'s eyes, as when the
  // parent started it without a group of its own: that group has ended once no
  // other process is left in it. Leaving the group with setpgid() would answer
  // this too, but would cut the agent off from the signals that reach the
  // group (a terminal's interrupt or hangup, a parent's killpg()) and, in a
  // terminal's foreground, would make it a background job that output may stop.
  return inOwnGroup_ && !anotherProcessIn(-pid_);
}

}  // namespace velkin
