#include "platform/pulse/PulseConnection.hpp"

#include <string>

namespace velkin::pulse {

Error serverError(int code, std::string_view doing) {
  return Error{errorDomain, code, std::string(doing) + ": " + pa_strerror(code)};
}

Result<std::unique_ptr<PulseConnection>> PulseConnection::open(const char* clientName) {
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
  pa_context_set_state_callback(connection->context_, &PulseConnection::onState, connection.get());
  // Refuse to spawn a server: recording through one that nobody plays into would
  // look like success and capture silence.
  if (pa_context_connect(connection->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return serverError(pa_context_errno(connection->context_),
                       "Could not connect to the audio server");
  }
  if (pa_threaded_mainloop_start(connection->mainloop_) < 0) {
    return serverError(PA_ERR_INTERNAL, "Could not start the audio client");
  }
  MainloopLock lock(connection->mainloop_);
  connection->waitUntil(
      [&] { return pa_context_get_state(connection->context_) == PA_CONTEXT_READY; });
  if (!connection->isGood()) {
    return serverError(connection->lastError(), "Could not connect to the audio server");
  }
  return connection;
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
  // Callbacks of operations still pending run here, on this thread, with the
  // libpulse thread already gone.
  if (context_ != nullptr) {
    pa_context_unref(context_);
  }
  if (mainloop_ != nullptr) {
    pa_threaded_mainloop_free(mainloop_);
  }
}

// Runs on the libpulse thread.
void PulseConnection::onState(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseConnection*>(userdata);
  self->signal();
  if (self->listener_) {
    self->listener_(pa_context_get_state(context));
  }
}

namespace {

template <typename Facts>
using Done = std::function<void(std::optional<Facts>)>;

// The info callbacks come once per entry and then once with eol set; `done` is
// called on the first entry, or at the end (or on failure) when there was none.
template <typename Facts>
struct InfoQuery {
  Done<Facts> done;
  bool answered = false;

  void answer(std::optional<Facts> facts) {
    if (!answered) {
      answered = true;
      done(std::move(facts));
    }
  }
};

template <typename Facts>
void startQuery(pa_operation* operation, InfoQuery<Facts>* query) {
  if (operation == nullptr) {
    query->answer(std::nullopt);
    delete query;
    return;
  }
  pa_operation_unref(operation);
}

// Runs on the libpulse thread (or at teardown).
void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<InfoQuery<ServerFacts>*>(userdata);
  if (info == nullptr) {
    query->answer(std::nullopt);
  } else {
    query->answer(ServerFacts{info->default_sink_name ? info->default_sink_name : "",
                              info->default_source_name ? info->default_source_name : ""});
  }
  delete query;
}

// Runs on the libpulse thread (or at teardown).
void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* query = static_cast<InfoQuery<SinkFacts>*>(userdata);
  if (eol == 0 && info != nullptr) {
    query->answer(
        SinkFacts{info->name, info->monitor_source_name ? info->monitor_source_name : ""});
    return;
  }
  query->answer(std::nullopt);
  delete query;
}

// Runs on the libpulse thread (or at teardown).
void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* query = static_cast<InfoQuery<SourceFacts>*>(userdata);
  if (eol == 0 && info != nullptr) {
    const char* master = pa_proplist_gets(info->proplist, "device.master_device");
    query->answer(SourceFacts{info->name, info->monitor_of_sink != PA_INVALID_INDEX,
                              master != nullptr ? master : ""});
    return;
  }
  query->answer(std::nullopt);
  delete query;
}

}  // namespace

void queryServer(pa_context* context, std::function<void(std::optional<ServerFacts>)> done) {
  auto* query = new InfoQuery<ServerFacts>{std::move(done)};
  startQuery(pa_context_get_server_info(context, &onServerInfo, query), query);
}

void querySink(pa_context* context, const std::string& name,
               std::function<void(std::optional<SinkFacts>)> done) {
  auto* query = new InfoQuery<SinkFacts>{std::move(done)};
  startQuery(pa_context_get_sink_info_by_name(context, name.c_str(), &onSinkInfo, query), query);
}

void querySource(pa_context* context, const std::string& name,
                 std::function<void(std::optional<SourceFacts>)> done) {
  auto* query = new InfoQuery<SourceFacts>{std::move(done)};
  startQuery(pa_context_get_source_info_by_name(context, name.c_str(), &onSourceInfo, query),
             query);
}

}  // namespace velkin::pulse
