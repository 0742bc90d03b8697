#pragma once

#include <sys/types.h>

namespace velkin {

// Ends the process at once with `status`. Standard I/O is flushed first, but no
// static destructor runs: other threads (delivery queues, the audio client) may
// still be working, and must not meet objects torn down under them.
[[noreturn]] void exitProcess(int status);

// A write to a closed standard output or error then fails with EPIPE instead
// of ending the agent (and its recording) without a word.
void ignoreBrokenPipes();

// The process that started the agent, watched for its end. Held by one thread.
class ParentProcess {
 public:
  // `pid` must be above 0. A pidfd is opened at once, so that a pid reused
  // after the parent's end cannot be mistaken for it later.
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
  int pidfd_ = -1;
  bool endedAtOpen_ = false;
};

}  // namespace velkin
