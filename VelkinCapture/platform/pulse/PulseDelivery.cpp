#include "platform/pulse/PulseDelivery.hpp"

#include <algorithm>

namespace velkin::pulse {

void Delivery::postEmpty(const std::shared_ptr<Delivery>& self, OutputType type, MediaTime time) {
  const Route& route = self->routes[static_cast<size_t>(type)];
  if (route.output == nullptr) {
    return;
  }
  // Runs on the route's queue.
  route.queue->async([self, type, time] {
    if (self->abandoned()) {
      return;
    }
    const SampleBuffer sample(true, time, nullptr, {});
    self->routes[static_cast<size_t>(type)].output->stream(self->stream_, sample, type);
  });
}

void Delivery::postAudio(const std::shared_ptr<Delivery>& self, OutputType type, int64_t position,
                         const FormatDescription& format, std::vector<std::byte> data) {
  const Route& route = self->routes[static_cast<size_t>(type)];
  const AudioStreamDescription* audio = format.streamBasicDescription();
  if (route.output == nullptr || data.empty() || audio == nullptr) {
    return;
  }
  const MediaTime time = MediaTime::make(position, int32_t(audio->sampleRate));
  // Runs on the route's queue.
  route.queue->async([self, type, time, format, data = std::move(data)] {
    // A stream being destroyed delivers no more.
    if (self->abandoned()) {
      return;
    }
    const SampleBuffer sample(true, time, &format, data);
    self->routes[static_cast<size_t>(type)].output->stream(self->stream_, sample, type);
  });
}

void Delivery::abandon() {
  alive_.store(false, std::memory_order_release);
  std::lock_guard lock(fenceLock_);
  if (activeFence_) {
    { std::lock_guard fenceLock(activeFence_->lock); }
    activeFence_->changed.notify_all();
  }
}

void Delivery::drain(bool untilAbandoned) {
  std::vector<SerialQueue*> queues;
  for (const Route& route : routes) {
    if (route.queue != nullptr && !route.queue->isCurrent() &&
        std::find(queues.begin(), queues.end(), route.queue) == queues.end()) {
      queues.push_back(route.queue);
    }
  }
  auto fence = std::make_shared<Fence>();
  fence->remaining = queues.size();
  {
    std::lock_guard lock(fenceLock_);
    activeFence_ = fence;
  }
  for (SerialQueue* queue : queues) {
    // Runs on that queue.
    queue->async([fence] {
      std::lock_guard lock(fence->lock);
      --fence->remaining;
      fence->changed.notify_all();
    });
  }
  {
    std::unique_lock lock(fence->lock);
    fence->changed.wait(lock,
                        [&] { return fence->remaining == 0 || (untilAbandoned && abandoned()); });
  }
  std::lock_guard lock(fenceLock_);
  activeFence_.reset();
}

}  // namespace velkin::pulse
