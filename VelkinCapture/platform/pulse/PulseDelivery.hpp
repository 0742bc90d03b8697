#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Capture.hpp"
#include "platform/Dispatch.hpp"

namespace velkin::pulse {

// The outputs and their queues. Shared by the stream and every posted delivery, so
// that a delivery still queued when the stream goes away finds it and does nothing.
// Posts come from the libpulse thread; the control queue drains the queues.
class Delivery {
 public:
  struct Route {
    StreamOutput* output = nullptr;
    SerialQueue* queue = nullptr;
  };

  explicit Delivery(CaptureStream& stream) : stream_(stream) {}

  // Indexed by output type. Written only before capture starts, under the stream's
  // API lock; read-only once capture has started.
  std::array<Route, 3> routes;

  // Any thread. Queues a frame without data or format (what the screen output
  // delivers) for the output of `type`.
  static void postEmpty(const std::shared_ptr<Delivery>& self, OutputType type, MediaTime time);

  // Any thread. Queues consecutive audio `data` (now owned by the job), whose first
  // frame is at `position` of a timeline at the format's rate, as one buffer: the
  // writers cut it where their segments end, and a queue's thread wakes once for
  // all of it.
  static void postAudio(const std::shared_ptr<Delivery>& self, OutputType type, int64_t position,
                        const FormatDescription& format, std::vector<std::byte> data);

  // Control queue, or the destructor: returns once every queue with an output has
  // run everything posted to it before (or, with `untilAbandoned`, once abandon()
  // is called). The calling queue, if it is one of them, is skipped: nothing of it
  // runs meanwhile anyway.
  void drain(bool untilAbandoned);

  // Any thread, once the stream is being destroyed: no more deliveries run, and a
  // drain waiting returns.
  void abandon();
  // Whether abandon() has been called.
  bool abandoned() const { return !alive_.load(std::memory_order_acquire); }

 private:
  // Counts down the delivery queues that have run everything posted before it.
  struct Fence {
    std::mutex lock;  // guards remaining
    std::condition_variable changed;
    size_t remaining = 0;
  };

  CaptureStream& stream_;
  std::atomic<bool> alive_{true};       // cleared by abandon()
  std::mutex fenceLock_;                // guards activeFence_
  std::shared_ptr<Fence> activeFence_;  // the fence a drain is waiting on
};

}  // namespace velkin::pulse
