#include "platform/pulse/DeviceFollower.hpp"

#include <memory>

namespace velkin::pulse {

DeviceTargets chooseTargets(const std::optional<SinkFacts>& sink,
                            const std::optional<SourceFacts>& source, bool microphoneWanted) {
  DeviceTargets targets;
  if (microphoneWanted && source && !source->isMonitor) {
    targets.microphone = source->name;
    targets.microphoneMaster = source->masterDevice;
  }
  if (sink && sink->monitorSource != targets.microphoneMaster) {
    targets.callAudio = sink->monitorSource;
  }
  return targets;
}

bool changesTargets(pa_subscription_event_type_t type) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  return facility == PA_SUBSCRIPTION_EVENT_SERVER ||
         ((facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
          kind != PA_SUBSCRIPTION_EVENT_CHANGE);
}

void DeviceFollower::stop() {
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection_.mainloop());
  pa_context_set_subscribe_callback(connection_.context(), nullptr, nullptr);
  stopped_ = true;
}

std::optional<Error> DeviceFollower::subscribe() {
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection_.mainloop());
  pa_context* context = connection_.context();
  pa_context_set_subscribe_callback(context, &DeviceFollower::onEvent, this);
  struct Reply {
    bool done = false;
    bool success = false;
    PulseConnection* connection;
  };
  // Shared with the callback, which a timed-out wait leaves pending; a cancelled
  // operation calls nothing, and its state callback frees it.
  auto* reply =
      new std::shared_ptr<Reply>(std::make_shared<Reply>(Reply{false, false, &connection_}));
  std::shared_ptr<Reply> mine = *reply;
  pa_operation* operation = pa_context_subscribe(
      context,
      pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                             PA_SUBSCRIPTION_MASK_SOURCE),
      // Runs on the libpulse thread.
      [](pa_context*, int success, void* userdata) {
        Reply& reply = **static_cast<std::shared_ptr<Reply>*>(userdata);
        reply.done = true;
        reply.success = success != 0;
        reply.connection->signal();
      },
      reply);
  if (operation == nullptr) {
    delete reply;
    return serverError(connection_.lastError(), "Could not follow the default devices");
  }
  // Runs on the libpulse thread, or on the thread disconnecting the context.
  pa_operation_set_state_callback(
      operation,
      [](pa_operation* operation, void* userdata) {
        if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
          pa_operation_set_state_callback(operation, nullptr, nullptr);
          delete static_cast<std::shared_ptr<Reply>*>(userdata);
        }
      },
      reply);
  pa_operation_unref(operation);
  const PulseConnection::Wait wait = connection_.waitUntil([&] { return mine->done; });
  if (wait != PulseConnection::Wait::done) {
    return connection_.waitError(wait, "the subscription to device changes");
  }
  if (!mine->success) {
    return serverError(connection_.lastError(), "Could not follow the default devices");
  }
  return std::nullopt;
}

void DeviceFollower::request() {
  VELKIN_ASSERT_MAINLOOP_LOCKED(connection_.mainloop());
  if (!stopped_ && gate_.request()) {
    round();
  }
}

void DeviceFollower::finish() {
  if (gate_.finish() && !stopped_) {
    round();
  }
}

// Asks the server for its defaults, then for the default sink and source.
void DeviceFollower::round() {
  pa_context* context = connection_.context();
  // Each step runs on the libpulse thread.
  queryServer(context, [this, context](std::optional<ServerFacts> server) {
    if (!server) {
      finish();
      return;
    }
    const std::string source = server->defaultSource;
    querySink(context, server->defaultSink, [this, context, source](std::optional<SinkFacts> sink) {
      querySource(context, source, [this, sink](std::optional<SourceFacts> facts) {
        if (!stopped_) {
          apply_(chooseTargets(sink, facts, microphoneWanted_));
        }
        finish();
      });
    });
  });
}

// Runs on the libpulse thread: something changed on the server.
void DeviceFollower::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t,
                             void* userdata) {
  auto* self = static_cast<DeviceFollower*>(userdata);
  VELKIN_ASSERT_LIBPULSE_THREAD(self->connection_.mainloop());
  if (changesTargets(type)) {
    self->request();
  }
}

}  // namespace velkin::pulse
