#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.hpp"
#include "platform/Result.hpp"

namespace velkin::pulse {

// Errors of the audio server carry its own error code and pa_strerror's text after
// what we were doing: "Could not connect to the audio server: Connection refused".
inline constexpr const char* errorDomain = "PulseAudio";
Error serverError(int code, std::string_view doing);

// One client connection: a threaded main loop (the "libpulse thread", named
// "velkin.pulse") and a context connected on it. Every libpulse callback runs on
// that thread with the main loop lock held; other threads take the lock (see
// MainloopLock) before touching the context or anything the callbacks touch.
class PulseConnection {
 public:
  // Runs on the libpulse thread whenever the context changes state.
  using StateListener = std::function<void(pa_context_state_t)>;

  // Connects, blocking the calling thread (never the libpulse thread) until the
  // server has accepted or refused. Never spawns a server.
  static Result<std::unique_ptr<PulseConnection>> open(const char* clientName);

  // Disconnects and joins the libpulse thread. Not on the libpulse thread.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  bool isGood() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)); }
  int lastError() const { return pa_context_errno(context_); }

  // With the lock held.
  void setStateListener(StateListener listener) { listener_ = std::move(listener); }

  // With the lock held, not on the libpulse thread: sleeps on the main loop until
  // `done()` holds or the connection has failed. True when `done()` holds.
  template <typename Predicate>
  bool waitUntil(Predicate done) {
    while (!done()) {
      if (!isGood()) {
        return false;
      }
      pa_threaded_mainloop_wait(mainloop_);
    }
    return true;
  }

  // Wakes waitUntil; with the lock held (every callback has it).
  void signal() { pa_threaded_mainloop_signal(mainloop_, 0); }

 private:
  PulseConnection() = default;
  static void onState(pa_context* context, void* userdata);

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  StateListener listener_;  // guarded by the main loop lock
};

// Holds the main loop lock for a scope. Not on the libpulse thread, whose
// callbacks already hold it.
class MainloopLock {
 public:
  explicit MainloopLock(pa_threaded_mainloop* mainloop) : mainloop_(mainloop) {
    pa_threaded_mainloop_lock(mainloop_);
  }
  ~MainloopLock() { pa_threaded_mainloop_unlock(mainloop_); }
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  pa_threaded_mainloop* mainloop_;
};

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

// Asynchronous queries with the lock held. `done` runs once on the libpulse
// thread with the answer, or with nothing when the server has no such device or
// the query failed; when the connection is torn down it may also run on the
// thread doing that.
void queryServer(pa_context* context, std::function<void(std::optional<ServerFacts>)> done);
void querySink(pa_context* context, const std::string& name,
               std::function<void(std::optional<SinkFacts>)> done);
void querySource(pa_context* context, const std::string& name,
                 std::function<void(std::optional<SourceFacts>)> done);

// The blocking form of a query, for threads other than the libpulse thread, with
// the lock held. Nothing when the query failed or the connection was lost.
template <typename Facts, typename Query>
std::optional<Facts> awaitQuery(PulseConnection& connection, Query query) {
  struct Answer {
    bool done = false;
    std::optional<Facts> facts;
  };
  // Shared with the callback: if the connection fails first, the callback may run
  // after this frame has returned, at teardown.
  auto answer = std::make_shared<Answer>();
  // Runs on the libpulse thread (or at teardown, on the thread doing it).
  query([answer, &connection = connection](std::optional<Facts> facts) {
    answer->done = true;
    answer->facts = std::move(facts);
    connection.signal();
  });
  connection.waitUntil([&] { return answer->done; });
  return answer->facts;
}

}  // namespace velkin::pulse
