#pragma once

#include <pulse/pulseaudio.h>

#include <array>
#include <cassert>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.hpp"
#include "platform/Result.hpp"
#include "platform/pulse/PulseLoop.hpp"

namespace velkin::pulse {

// Errors of the audio server carry its own error code and pa_strerror's text after
// what we were doing: "Could not connect to the audio server: Connection refused".
inline constexpr const char* errorDomain = "PulseAudio";
Error serverError(int code, std::string_view doing);

// How long connecting, and each wait of a start on the server, may take. A server
// that accepts the socket but never answers must not hang the capture's start.
inline constexpr pa_usec_t answerTimeoutUsec = 5'000'000;

// Whether the calling thread holds the main loop lock of `mainloop`: it is the
// libpulse thread (every callback runs with the lock held) or holds a
// MainloopLock on it. Only tracked in debug builds, where it backs the checks below.
bool holdsMainloopLock(PulseLoop* mainloop);

}  // namespace velkin::pulse

// Ownership checks of the libpulse side, active in debug builds.
#define VELKIN_ASSERT_LIBPULSE_THREAD(mainloop) assert((mainloop)->inThread())
#define VELKIN_ASSERT_MAINLOOP_LOCKED(mainloop) assert(::velkin::pulse::holdsMainloopLock(mainloop))

namespace velkin::pulse {

// One client of the server: a main loop on its own thread (the "libpulse thread",
// named "velkin.pulse", see PulseLoop) and contexts connected on it: one for
// queries and events, which the loop answers at once, and one for each track's
// record streams, whose audio it may let queue (audioContext). Each context is a
// socket of its own, and what a socket can hold bounds how long audio may queue:
// a track alone on its socket can wait twice as long. Every libpulse callback
// runs on that thread with the main loop lock held; other threads take the lock
// (see MainloopLock) before touching a context or anything the callbacks touch.
//
// When the connection goes (the server died, or the context is disconnected),
// libpulse cancels pending operations without calling their reply callbacks.
class PulseConnection {
 public:
  // Runs on the libpulse thread whenever the context changes state.
  using StateListener = std::function<void(pa_context_state_t)>;

  // Connects, blocking the calling thread (never the libpulse thread) until the
  // server has accepted or refused, or `timeout` has passed. `server`: null for
  // the default. Never spawns a server.
  static Result<std::unique_ptr<PulseConnection>> open(const char* clientName,
                                                       const char* server = nullptr,
                                                       pa_usec_t timeout = answerTimeoutUsec);

  // Disconnects and joins the libpulse thread. Not on the libpulse thread.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // The record streams' contexts: one for each track.
  static constexpr size_t audioContextCount = 2;

  PulseLoop* mainloop() const { return mainloop_.get(); }
  pa_context* context() const { return contexts_[0]; }
  pa_context* audioContext(size_t track) const {
    assert(track < audioContextCount);
    return contexts_[1 + track];
  }
  bool isGood() const;
  // Of the first context that failed, if one did; else of the queries' context.
  int lastError() const;
  // Of a track's context.
  int audioError(size_t track) const { return pa_context_errno(audioContext(track)); }

  // With the lock held.
  void setStateListener(StateListener listener) {
    VELKIN_ASSERT_MAINLOOP_LOCKED(mainloop_.get());
    listener_ = std::move(listener);
  }

  enum class Wait { done, lost, timedOut };

  // With the lock held, not on the libpulse thread: sleeps on the main loop until
  // `done()` holds, the connection has failed or `timeout` has passed.
  template <typename Predicate>
  Wait waitUntil(Predicate done, pa_usec_t timeout = answerTimeoutUsec) {
    assert(!mainloop_->inThread());
    VELKIN_ASSERT_MAINLOOP_LOCKED(mainloop_.get());
    Deadline deadline(*this, timeout);
    while (!done()) {
      if (!isGood()) {
        return Wait::lost;
      }
      if (deadline.passed) {
        return Wait::timedOut;
      }
      mainloop_->wait();
    }
    return Wait::done;
  }

  // The error of a wait that did not end with `done()`: what the server did not
  // answer, or that the connection was lost.
  Error waitError(Wait wait, std::string_view awaited) const;

  // Wakes waitUntil; with the lock held (every callback has it).
  void signal() { mainloop_->signal(); }

 private:
  // A timer on the main loop that wakes waitUntil once `timeout` has passed.
  // Created and freed with the lock held.
  struct Deadline {
    Deadline(PulseConnection& connection, pa_usec_t timeout);
    ~Deadline();
    static void onTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata);
    PulseConnection& connection;
    pa_time_event* event = nullptr;
    bool passed = false;  // main loop lock
  };

  PulseConnection() = default;
  static void onState(pa_context* context, void* userdata);
  std::optional<Error> connect(pa_context*& context, pa_mainloop_api* api, const char* clientName,
                               const char* server);

  std::unique_ptr<PulseLoop> mainloop_;
  // The queries' context, then the tracks' (audioContext). Set by open, freed by
  // the destructor: read-only in between.
  std::array<pa_context*, 1 + audioContextCount> contexts_{};
  StateListener listener_;  // main loop lock
};

// Holds the main loop lock for a scope. Not on the libpulse thread, whose
// callbacks already hold it.
class MainloopLock {
 public:
  explicit MainloopLock(PulseLoop* mainloop);
  ~MainloopLock();
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  PulseLoop* mainloop_;
  PulseLoop* outer_;  // the lock this thread held before, if any
};

}  // namespace velkin::pulse
