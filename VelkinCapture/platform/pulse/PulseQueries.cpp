#include "platform/pulse/PulseQueries.hpp"

namespace velkin::pulse {

namespace {

template <typename Facts>
using Done = std::function<void(std::optional<Facts>)>;

// One query, owned by its operation: the info callbacks come once per entry and
// then once with eol set; `done` is called on the first entry, or at the end (or
// on failure) when there was none. The operation's state callback frees the query
// once the operation is over, whether done or cancelled: a cancelled operation
// calls nothing else.
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

// A virtual source whose master is found by a second query: PipeWire's remap
// source names no master, but the stream that feeds it shares its link group.
// It answers what it knows, the master or not, also when a query fails.
struct MasterQuery : InfoQuery<SourceFacts> {
  SourceFacts facts;
  std::string linkGroup;
  uint32_t master = PA_INVALID_INDEX;  // the source the feeding stream records

  void answer(std::optional<SourceFacts> = std::nullopt) {
    InfoQuery<SourceFacts>::answer(std::move(facts));
  }
};

// Runs on the libpulse thread, or on the thread that disconnects the context.
template <typename Query>
void onOperationState(pa_operation* operation, void* userdata) {
  if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    delete static_cast<Query*>(userdata);
  }
}

template <typename Query>
void startQuery(pa_operation* operation, Query* query) {
  if (operation == nullptr) {
    query->answer(std::nullopt);
    delete query;
    return;
  }
  pa_operation_set_state_callback(operation, &onOperationState<Query>, query);
  pa_operation_unref(operation);
}

// Runs on the libpulse thread.
void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<InfoQuery<ServerFacts>*>(userdata);
  if (info == nullptr) {
    query->answer(std::nullopt);
  } else {
    query->answer(ServerFacts{info->default_sink_name ? info->default_sink_name : "",
                              info->default_source_name ? info->default_source_name : ""});
  }
}

// Runs on the libpulse thread.
void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* query = static_cast<InfoQuery<SinkFacts>*>(userdata);
  if (eol == 0 && info != nullptr) {
    query->answer(
        SinkFacts{info->name, info->monitor_source_name ? info->monitor_source_name : ""});
  } else {
    query->answer(std::nullopt);
  }
}

// Runs on the libpulse thread: the master's name, once found.
void onMasterInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* query = static_cast<MasterQuery*>(userdata);
  if (eol == 0 && info != nullptr) {
    query->facts.masterDevice = info->name;
  }
  query->answer();
}

// Runs on the libpulse thread, once per source output and once at the end.
void onFeedingStream(pa_context* context, const pa_source_output_info* info, int eol,
                     void* userdata) {
  auto* query = static_cast<MasterQuery*>(userdata);
  if (eol == 0 && info != nullptr) {
    const char* group = pa_proplist_gets(info->proplist, "node.link-group");
    if (group != nullptr && query->linkGroup == group) {
      query->master = info->source;
    }
    return;
  }
  if (query->master == PA_INVALID_INDEX || query->answered) {
    query->answer();
    return;
  }
  // The rest of the answer goes to a query of its own: this one ends with its
  // operation.
  auto* next = new MasterQuery{{std::move(query->done)}, std::move(query->facts), ""};
  query->answered = true;
  startQuery(pa_context_get_source_info_by_index(context, query->master, &onMasterInfo, next),
             next);
}

// Runs on the libpulse thread.
void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* userdata) {
  auto* query = static_cast<InfoQuery<SourceFacts>*>(userdata);
  if (eol != 0 || info == nullptr) {
    query->answer(std::nullopt);
    return;
  }
  const char* master = pa_proplist_gets(info->proplist, "device.master_device");
  SourceFacts facts{info->name, info->monitor_of_sink != PA_INVALID_INDEX,
                    master != nullptr ? master : ""};
  const char* group = pa_proplist_gets(info->proplist, "node.link-group");
  if (!facts.masterDevice.empty() || facts.isMonitor || group == nullptr || query->answered) {
    query->answer(std::move(facts));
    return;
  }
  auto* next = new MasterQuery{{std::move(query->done)}, std::move(facts), group};
  query->answered = true;
  startQuery(pa_context_get_source_output_info_list(context, &onFeedingStream, next), next);
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
