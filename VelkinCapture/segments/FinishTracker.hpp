#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace velkin {

// Counts segment finishes that have been started and whose completion (file
// closed, marker written or not) has not yet run, so that the process can give
// them a bounded time before it exits. Safe from any thread.
class FinishTracker {
 public:
  void started();
  void completed();

  // Blocks until no finish is pending or `timeout` has passed; true when none is.
  bool waitUntilIdle(std::chrono::milliseconds timeout);
  std::size_t pending() const;

 private:
  mutable std::mutex lock_;  // guards pending_
  std::condition_variable idle_;
  std::size_t pending_ = 0;
};

}  // namespace velkin
