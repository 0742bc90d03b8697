#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/pulse/PulseQueries.hpp"

namespace velkin::pulse {

// The devices the tracks should record: empty for none (the track is detached).
struct DeviceTargets {
  std::string microphone;
  std::string microphoneMaster;  // what a virtual microphone records from
  std::string callAudio;         // the monitor of the default sink
};

// Pure: what to record, given the default sink and source the server names.
// The microphone is never a monitor; the call audio never records what feeds a
// virtual microphone that is recorded (it would carry the candidate's voice).
DeviceTargets chooseTargets(const std::optional<SinkFacts>& sink,
                            const std::optional<SourceFacts>& source, bool microphoneWanted);

// Pure: whether a server event can change what the tracks should record: a new
// default, or a device that came or went (their own changes are volume and the like).
bool changesTargets(pa_subscription_event_type_t type);

// Pure: folds requests that come while a round of queries is out into one more
// round.
class RoundGate {
 public:
  // True when a round must start now; otherwise one is out and another will follow.
  bool request() {
    if (busy_) {
      again_ = true;
      return false;
    }
    busy_ = true;
    return true;
  }
  // The round is over; true when another must start now.
  bool finish() {
    busy_ = again_;
    again_ = false;
    return busy_;
  }
  bool busy() const { return busy_; }

 private:
  bool busy_ = false;
  bool again_ = false;
};

// Follows the server's defaults: subscribes to its events and, on each that
// matters, asks for the defaults and hands the targets to `apply`. Lives on the
// libpulse thread: every method with the main loop lock held.
class DeviceFollower {
 public:
  using Apply = std::function<void(const DeviceTargets&)>;

  DeviceFollower(PulseConnection& connection, bool microphoneWanted, Apply apply)
      : connection_(connection), microphoneWanted_(microphoneWanted), apply_(std::move(apply)) {}
  DeviceFollower(const DeviceFollower&) = delete;
  DeviceFollower& operator=(const DeviceFollower&) = delete;

  // Not on the libpulse thread: subscribes and waits for the server to confirm,
  // within the deadline. An error says why following is not possible.
  std::optional<Error> subscribe();

  // Starts a round of queries, or folds into the one that is out.
  void request();

  // No more events or targets: replies still on their way find it stopped. The
  // follower must outlive the connection, whose end cancels its queries.
  void stop();

 private:
  void round();
  void finish();
  static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                      void* userdata);

  PulseConnection& connection_;
  const bool microphoneWanted_;
  const Apply apply_;
  // Main loop lock. A round's queries are cancelled with the connection, which
  // this follower does not outlive, so a round is never left half done.
  RoundGate gate_;
  bool stopped_ = false;
};

}  // namespace velkin::pulse
