#pragma once

#include <pulse/pulseaudio.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Capture.hpp"
#include "platform/pulse/ClockDrift.hpp"
#include "platform/pulse/DeviceFollower.hpp"
#include "platform/pulse/DriftResampler.hpp"
#include "platform/pulse/PulseConnection.hpp"
#include "platform/pulse/PulseDelivery.hpp"
#include "platform/pulse/ReadPace.hpp"
#include "platform/pulse/RecordTrack.hpp"

namespace velkin::pulse {

// The capture while it runs on one connection: both tracks, placing their audio
// and silence on the timeline, following their devices, the timers, and posting
// batches of buffers. Owned by the libpulse thread: every method with the main
// loop lock held, which the control queue takes to start and finish it.
class LiveCapture final : private TrackEvents {
 public:
  // `failed` runs on the libpulse thread, once, when the capture cannot go on; it
  // must not block.
  LiveCapture(const StreamConfiguration& configuration, std::shared_ptr<Delivery> delivery,
              std::function<void(const Error&)> failed);

  // Control queue: which tracks to record. Before start.
  void want(bool system, bool microphone);
  bool wantsMicrophone() const { return microphone_.wanted; }

  // Control queue: connects the tracks to `targets` and waits (within the deadline)
  // for the server to accept them; then delivery starts. On error, end() cleans up.
  std::optional<Error> start(PulseConnection& connection, DeviceFollower& follower,
                             const DeviceTargets& targets);
  // Points the tracks at new devices (the device follower's answer).
  void follow(const DeviceTargets& targets);
  // Control queue: delivers what the server has captured up to now and ends both
  // tracks at the same moment of the call.
  void finish();
  // Stops delivery and drops the tracks' connections. Idempotent.
  void end();
  // The server is gone or a track cannot record: delivers what was read, stops
  // delivery and reports `error`.
  void fail(const Error& error);
  int pauseMs() const;

 private:
  void closeTrack(RecordTrack& track);
  // `snapshotAt`: the timeline frame at which the server took `timing`, when
  // known closely enough to learn the source's clock from.
  void placePending(RecordTrack& track, const std::optional<StreamTiming>& timing,
                    std::optional<int64_t> snapshotAt = std::nullopt);
  void placeAudio(RecordTrack& track, std::span<const std::byte> bytes);
  void placeSilence(RecordTrack& track, int64_t frames);
  void dated(RecordTrack& track, int64_t index, StreamTiming timing, int64_t snapshotAt);
  void endResampling(RecordTrack& track);
  void fillUntil(RecordTrack& track, int64_t frame);
  // With `all`, everything the track holds (its end); otherwise both tracks'
  // whole buffers, once a batch is due.
  void post(RecordTrack& track, bool all);
  bool batchDue(const RecordTrack& track) const;
  void postTaken(RecordTrack& track, AudioBatcher::Take what);
  void retarget(RecordTrack& track, const std::string& device, const std::string& masterDevice);
  void move(RecordTrack& track, const std::string& device, const std::string& masterDevice);
  void settleMove(RecordTrack& track, bool force);
  void armQuietTimer();
  void postScreenFrame();
  // Each track records on a connection of its own (PulseConnection::audioContext).
  size_t indexOf(const RecordTrack& track) const { return &track == &system_ ? 0 : 1; }
  pa_context* contextOf(const RecordTrack& track) const {
    return connection_->audioContext(indexOf(track));
  }
  void onIdle();

  // A track's source clock and the resampling that keeps it on the timeline.
  // Owned by the libpulse thread with the track: main loop lock held.
  struct Drift {
    Drift(const ClockDrift::Limits& limits, uint32_t channels, uint32_t rate)
        : clock(limits), resampler(channels, rate) {}
    ClockDrift clock;
    DriftResampler resampler;
    std::vector<std::byte> resampled;  // scratch: what the resampler hands out
  };
  Drift& driftOf(const RecordTrack& track) {
    return indexOf(track) == 0 ? systemDrift_ : microphoneDrift_;
  }

  void audioRead(RecordTrack& track) override;
  void timingArrived(RecordTrack& track, const std::optional<StreamTiming>& timing,
                     bool quietCheck) override;
  void streamEnded(RecordTrack& track) override;
  void previousAudio(RecordTrack& track, bool ended) override;

  // Run on the libpulse thread.
  static void onQuietTimer(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                           void* userdata);
  static void onScreenTimer(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                            void* userdata);

  const StreamConfiguration configuration_;
  const std::shared_ptr<Delivery> delivery_;
  const std::function<void(const Error&)> failed_;

  // Main loop lock.
  PulseConnection* connection_ = nullptr;  // from start until end
  DeviceFollower* follower_ = nullptr;     // from start until end
  bool live_ = false;       // buffers are delivered: from start until finish, end or failure
  bool finishing_ = false;  // finish is collecting the last audio
  RecordTrack system_;
  RecordTrack microphone_;
  pa_time_event* quietTimer_ = nullptr;
  pa_time_event* screenTimer_ = nullptr;
  pa_usec_t screenInterval_ = 0;
  pa_usec_t nextScreenFrame_ = 0;  // pa_rtclock time from which the next one may go
  int64_t startNanoseconds_ = 0;   // the capture start: position 0 of both tracks
  Drift systemDrift_;
  Drift microphoneDrift_;
  bool warnedOfDrift_ = false;  // the line that a clock is beyond correcting, once
  // The libpulse thread's pause between reads: what each track's socket can hold.
  std::array<ReadPace, PulseConnection::audioContextCount> paces_;
};

}  // namespace velkin::pulse
