#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/pulse/PulseConnection.hpp"

namespace velkin::pulse {

// What the server says about itself and its devices, as far as capture needs it.
struct ServerFacts {
  std::string defaultSink;
  std::string defaultSource;
};
struct SinkFacts {
  std::string name;
  std::string monitorSource;
};
struct SourceFacts {
  std::string name;
  bool isMonitor = false;  // the monitor of a sink: never a microphone
  // The source a virtual source (a remap, an echo canceller) records from.
  std::string masterDevice;
};

// Asynchronous queries, made with the main loop lock held. `done` runs once on
// the libpulse thread with the answer, or with nothing when the server has no
// such device or the query failed. When the connection goes first, the query is
// cancelled: `done` never runs, and is destroyed (with what it holds) on the
// thread that cancelled it, which is the libpulse thread or, at disconnect, the
// thread tearing the connection down.
void queryServer(pa_context* context, std::function<void(std::optional<ServerFacts>)> done);
void querySink(pa_context* context, const std::string& name,
               std::function<void(std::optional<SinkFacts>)> done);
void querySource(pa_context* context, const std::string& name,
                 std::function<void(std::optional<SourceFacts>)> done);

// The blocking form of a query, for threads other than the libpulse thread, with
// the lock held: the answer, or the error of a server that did not answer
// (naming `awaited`) or went away.
template <typename Facts, typename Query>
Result<std::optional<Facts>> awaitQuery(PulseConnection& connection, std::string_view awaited,
                                        Query query) {
  struct Answer {
    bool done = false;
    std::optional<Facts> facts;
  };
  // Shared with the callback, which a timed-out wait leaves pending.
  auto answer = std::make_shared<Answer>();
  // Runs on the libpulse thread.
  query([answer, &connection = connection](std::optional<Facts> facts) {
    answer->done = true;
    answer->facts = std::move(facts);
    connection.signal();
  });
  const PulseConnection::Wait wait = connection.waitUntil([&] { return answer->done; });
  if (wait != PulseConnection::Wait::done) {
    return connection.waitError(wait, awaited);
  }
  return std::move(answer->facts);
}

}  // namespace velkin::pulse
