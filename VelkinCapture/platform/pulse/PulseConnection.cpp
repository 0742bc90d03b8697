#include "platform/pulse/PulseConnection.hpp"

#include <string>

namespace velkin::pulse {

namespace {
// The main loop whose lock this thread holds through a MainloopLock, if any.
thread_local pa_threaded_mainloop* heldMainloop = nullptr;
}  // namespace

Error serverError(int code, std::string_view doing) {
  return Error{errorDomain, code, std::string(doing) + ": " + pa_strerror(code)};
}

bool holdsMainloopLock(pa_threaded_mainloop* mainloop) {
  return heldMainloop == mainloop || pa_threaded_mainloop_in_thread(mainloop);
}

MainloopLock::MainloopLock(pa_threaded_mainloop* mainloop)
    : mainloop_(mainloop), outer_(heldMainloop) {
  assert(!pa_threaded_mainloop_in_thread(mainloop));
  pa_threaded_mainloop_lock(mainloop_);
  heldMainloop = mainloop_;
}

MainloopLock::~MainloopLock() {
  heldMainloop = outer_;
  pa_threaded_mainloop_unlock(mainloop_);
}

Result<std::unique_ptr<PulseConnection>> PulseConnection::open(const char* clientName,
                                                               const char* server,
                                                               pa_usec_t timeout) {
  std::unique_ptr<PulseConnection> connection(new PulseConnection());
  connection->mainloop_ = pa_threaded_mainloop_new();
  if (connection->mainloop_ == nullptr) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  pa_threaded_mainloop_set_name(connection->mainloop_, "velkin.pulse");
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.velkin.capture");
  connection->context_ = pa_context_new_with_proplist(
      pa_threaded_mainloop_get_api(connection->mainloop_), clientName, properties);
  pa_proplist_free(properties);
  if (connection->context_ == nullptr) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  // Refuse to spawn a server: recording through one that nobody plays into would
  // look like success and capture silence.
  if (pa_context_connect(connection->context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return serverError(pa_context_errno(connection->context_),
                       "Could not connect to the audio server");
  }
  // Set once connecting has begun (on this thread): from here on every change
  // comes on the libpulse thread, which starts next.
  pa_context_set_state_callback(connection->context_, &PulseConnection::onState, connection.get());
  if (pa_threaded_mainloop_start(connection->mainloop_) < 0) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  MainloopLock lock(connection->mainloop_);
  const Wait wait = connection->waitUntil(
      [&] { return pa_context_get_state(connection->context_) == PA_CONTEXT_READY; }, timeout);
  if (wait == Wait::timedOut) {
    return serverError(PA_ERR_TIMEOUT, "The audio server did not answer the connection");
  }
  if (wait == Wait::lost) {
    return serverError(connection->lastError(), "Could not connect to the audio server");
  }
  return connection;
}

Error PulseConnection::waitError(Wait wait, std::string_view awaited) const {
  if (wait == Wait::timedOut) {
    return serverError(PA_ERR_TIMEOUT,
                       std::string("The audio server did not answer ") + std::string(awaited));
  }
  return serverError(lastError(), "The audio server connection was lost");
}

PulseConnection::~PulseConnection() {
  if (context_ != nullptr) {
    {
      MainloopLock lock(mainloop_);
      listener_ = nullptr;
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
    }
  }
  if (mainloop_ != nullptr) {
    pa_threaded_mainloop_stop(mainloop_);
  }
  // Operations still pending were cancelled at the disconnect: their reply
  // callbacks never run, only their state callbacks (see PulseQueries.cpp).
  if (context_ != nullptr) {
    pa_context_unref(context_);
  }
  if (mainloop_ != nullptr) {
    pa_threaded_mainloop_free(mainloop_);
  }
}

PulseConnection::Deadline::Deadline(PulseConnection& owner, pa_usec_t timeout) : connection(owner) {
  event = pa_context_rttime_new(connection.context_, pa_rtclock_now() + timeout, &Deadline::onTimer,
                                this);
}

PulseConnection::Deadline::~Deadline() {
  if (event != nullptr) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection.mainloop_);
    api->time_free(event);
  }
}

// Runs on the libpulse thread.
void PulseConnection::Deadline::onTimer(pa_mainloop_api*, pa_time_event*, const timeval*,
                                        void* userdata) {
  auto* self = static_cast<Deadline*>(userdata);
  self->passed = true;
  self->connection.signal();
}

// Runs on the libpulse thread, or on a thread that disconnects the context with
// the main loop lock held. Not checked: the first changes can come before the
// main loop knows its own thread (libpulse records it only once the thread runs).
void PulseConnection::onState(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseConnection*>(userdata);
  self->signal();
  if (self->listener_) {
    self->listener_(pa_context_get_state(context));
  }
}

}  // namespace velkin::pulse
