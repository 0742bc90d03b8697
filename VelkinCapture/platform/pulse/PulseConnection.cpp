#include "platform/pulse/PulseConnection.hpp"

#include <algorithm>
#include <string>

namespace velkin::pulse {

namespace {
// The main loop whose lock this thread holds through a MainloopLock, if any.
thread_local PulseLoop* heldMainloop = nullptr;
}  // namespace

Error serverError(int code, std::string_view doing) {
  return Error{errorDomain, code, std::string(doing) + ": " + pa_strerror(code)};
}

bool holdsMainloopLock(PulseLoop* mainloop) {
  return heldMainloop == mainloop || mainloop->inThread();
}

MainloopLock::MainloopLock(PulseLoop* mainloop) : mainloop_(mainloop), outer_(heldMainloop) {
  assert(!mainloop->inThread());
  mainloop_->lock();
  heldMainloop = mainloop_;
}

MainloopLock::~MainloopLock() {
  heldMainloop = outer_;
  mainloop_->unlock();
}

std::optional<Error> PulseConnection::connect(pa_context*& context, pa_mainloop_api* api,
                                              const char* clientName, const char* server) {
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, clientName);
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.velkin.capture");
  context = pa_context_new_with_proplist(api, clientName, properties);
  pa_proplist_free(properties);
  if (context == nullptr) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  // Refuse to spawn a server: recording through one that nobody plays into would
  // look like success and capture silence.
  if (pa_context_connect(context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return serverError(pa_context_errno(context), "Could not connect to the audio server");
  }
  // Set once connecting has begun (on this thread): from here on every change
  // comes on the libpulse thread, which starts next.
  pa_context_set_state_callback(context, &PulseConnection::onState, this);
  return std::nullopt;
}

Result<std::unique_ptr<PulseConnection>> PulseConnection::open(const char* clientName,
                                                               const char* server,
                                                               pa_usec_t timeout) {
  std::unique_ptr<PulseConnection> connection(new PulseConnection());
  connection->mainloop_ = std::make_unique<PulseLoop>();
  PulseLoop& loop = *connection->mainloop_;
  if (!loop.valid()) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  for (size_t i = 0; i < connection->contexts_.size(); ++i) {
    // Only the tracks' audio may wait out the loop's pause.
    pa_mainloop_api* api = i == 0 ? loop.api() : loop.heldApi();
    if (auto error = connection->connect(connection->contexts_[i], api, clientName, server)) {
      return *error;
    }
  }
  if (!loop.start("velkin.pulse")) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  MainloopLock lock(&loop);
  const Wait wait = connection->waitUntil(
      [&] {
        return std::all_of(
            connection->contexts_.begin(), connection->contexts_.end(),
            [](pa_context* context) { return pa_context_get_state(context) == PA_CONTEXT_READY; });
      },
      timeout);
  if (wait == Wait::timedOut) {
    return serverError(PA_ERR_TIMEOUT, "The audio server did not answer the connection");
  }
  if (wait == Wait::lost) {
    return serverError(connection->lastError(), "Could not connect to the audio server");
  }
  return connection;
}

bool PulseConnection::isGood() const {
  return std::all_of(contexts_.begin(), contexts_.end(), [](pa_context* context) {
    return PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
  });
}

int PulseConnection::lastError() const {
  for (pa_context* context : contexts_) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      return pa_context_errno(context);
    }
  }
  return pa_context_errno(context());
}

Error PulseConnection::waitError(Wait wait, std::string_view awaited) const {
  if (wait == Wait::timedOut) {
    return serverError(PA_ERR_TIMEOUT,
                       std::string("The audio server did not answer ") + std::string(awaited));
  }
  return serverError(lastError(), "The audio server connection was lost");
}

PulseConnection::~PulseConnection() {
  if (mainloop_ != nullptr) {
    {
      MainloopLock lock(mainloop_.get());
      listener_ = nullptr;
      for (pa_context* context : contexts_) {
        if (context != nullptr) {
          pa_context_set_state_callback(context, nullptr, nullptr);
          pa_context_disconnect(context);
        }
      }
    }
    mainloop_->stop();
  }
  // Operations still pending were cancelled at the disconnect: their reply
  // callbacks never run, only their state callbacks (see PulseQueries.cpp).
  for (pa_context* context : contexts_) {
    if (context != nullptr) {
      pa_context_unref(context);
    }
  }
}

PulseConnection::Deadline::Deadline(PulseConnection& owner, pa_usec_t timeout) : connection(owner) {
  event = pa_context_rttime_new(connection.context(), pa_rtclock_now() + timeout,
                                &Deadline::onTimer, this);
}

PulseConnection::Deadline::~Deadline() {
  if (event != nullptr) {
    connection.mainloop_->api()->time_free(event);
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
