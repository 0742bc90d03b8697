#include "segments/FinishTracker.hpp"

#include <cassert>

namespace velkin {

void FinishTracker::started() {
  std::lock_guard guard(lock_);
  ++pending_;
}

void FinishTracker::completed() {
  std::lock_guard guard(lock_);
  assert(pending_ > 0);
  if (--pending_ == 0) {
    idle_.notify_all();
  }
}

bool FinishTracker::waitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return idle_.wait_for(guard, timeout, [this] { return pending_ == 0; });
}

std::size_t FinishTracker::pending() const {
  std::lock_guard guard(lock_);
  return pending_;
}

}  // namespace velkin
