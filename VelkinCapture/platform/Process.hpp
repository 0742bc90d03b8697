#pragma once

#include <sys/types.h>

namespace velkin {

// Ends the process at once with `status`. Standard I/O is flushed first, but no
// static destructor runs: other threads (delivery queues, the audio client) may
// still be working, and must not meet objects torn down under them.
[[noreturn]] void exitProcess(int status);

// A write to a closed standard output or error then fails with EPIPE, and a
// write past the file-size limit with EFBIG, instead of a signal ending the
// agent (and its recording) without a word.
void ignoreResourceSignals();

// The process that started the agent, or its process group, watched for its
// end. Held by one thread.
class ParentProcess {
 public:
  // `pid` above 0 names one process: a pidfd is opened at once, so that a pid
  // reused after the parent's end cannot be mistaken for it later. -N, for N
  // above 1, names process group N, which has ended once no process is left
  // in it but the agent.
  explicit ParentProcess(pid_t pid);
  ~ParentProcess();
  ParentProcess(const ParentProcess&) = delete;
  ParentProcess& operator=(const ParentProcess&) = delete;

  // True once the parent has ended, reaped or not. Only the kernel's "no such
  // process" counts; a parent the agent may not signal is alive. Where pidfds
  // are missing, a parent that has ended but is not yet reaped counts as alive.
  bool hasEnded() const;

 private:
  pid_t pid_;
  bool inOwnGroup_;  // the agent is in the watched group
  int pidfd_ = -1;
  bool endedAtOpen_ = false;
};

}  // namespace velkin
