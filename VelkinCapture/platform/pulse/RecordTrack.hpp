#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Capture.hpp"
#include "platform/pulse/AudioBatcher.hpp"
#include "platform/pulse/PulseLoop.hpp"
#include "platform/pulse/TrackTimeline.hpp"

namespace velkin::pulse {

class RecordTrack;

// What a track's server stream reports. Runs on the libpulse thread.
class TrackEvents {
 public:
  virtual void audioRead(RecordTrack& track) = 0;
  // The reply to requestTiming: the timing, unless the server could not give it.
  virtual void timingArrived(RecordTrack& track, const std::optional<StreamTiming>& timing,
                             bool quietCheck) = 0;
  // The stream failed or ended (DONT_MOVE streams are ended when their device goes).
  virtual void streamEnded(RecordTrack& track) = 0;
  // The stream being replaced (see RecordTrack::open) has read audio into
  // previousPending, or `ended`.
  virtual void previousAudio(RecordTrack& track, bool ended) = 0;

 protected:
  ~TrackEvents() = default;
};

// One audio track: its output type, its current server stream (a `pa_stream`
// recording one device), what has been read and not yet dated, and its timeline
// and batches. Owned by the libpulse thread: every method and field with the main
// loop lock held (the control queue takes it to start and stop).
class RecordTrack {
 public:
  RecordTrack(OutputType type, const char* label, uint32_t rate, uint32_t channels,
              const DatingPolicy& policy, int64_t toleranceFrames, int64_t bufferFrames,
              int64_t batchFrames, TrackEvents& events);
  ~RecordTrack() { close(); }
  RecordTrack(const RecordTrack&) = delete;
  RecordTrack& operator=(const RecordTrack&) = delete;

  // Starts recording `device` (a new connection: the timeline dates its first
  // audio exactly). `fragmentUsec`: how much audio the server sends at once.
  // `replacing`: the current connection, on another device, stays open and is
  // read into previousPending until closePrevious, so that the change of device
  // loses nothing of what either records.
  bool open(PulseLoop* mainloop, pa_context* context, const std::string& device,
            const std::string& masterDevice, pa_usec_t fragmentUsec, bool replacing = false);
  // Drops the connections; what they read and did not place is dropped too. The
  // reply to a timing request still out finds no stream, or another, and is ignored.
  void close();
  void closePrevious();
  // Takes what the replaced connection holds into previousPending.
  void readPrevious();
  bool replacing() const { return previous_ != nullptr; }
  // Takes everything the client holds, holes as silence of their length.
  void read();
  // Asks the server for the stream's timing. `quietCheck`: the reply also says
  // whether the source has let a stretch pass without audio. False when it
  // cannot be asked.
  bool requestTiming(bool quietCheck);
  // Starts a capture whose position 0 is `startNanoseconds` on CLOCK_MONOTONIC.
  void restart(int64_t startNanoseconds);

  bool attached() const { return stream_ != nullptr; }
  bool ready() const { return stream_ != nullptr && ready_; }
  bool timingRequested() const { return timingRequested_; }
  // CLOCK_MONOTONIC ns since when the track has had no audio (its last read, the
  // last quiet check or the connection).
  int64_t quietSince() const { return quietSince_; }
  int64_t framesAt(int64_t nanoseconds) const;
  pa_stream* stream() const { return stream_; }

  const OutputType type;
  const char* const label;
  const uint32_t rate;
  const size_t frameBytes;
  const FormatDescription format;
  const DatingPolicy policy;
  bool wanted = false;       // the configuration asks for it and an output takes it
  std::string device;        // the source it records
  std::string masterDevice;  // microphone: the source a virtual one records from
  int refusals = 0;          // connections in a row that failed before becoming ready
  int64_t readBytes = 0;     // stream byte index of the next byte to read
  // While replacing: the old device's audio read since, not yet placed, and the
  // new connection's first timing once it came.
  std::vector<std::byte> previousPending;
  std::optional<StreamTiming> heldTiming;
  // Over all connections: the pieces and bytes received, for the libpulse
  // thread's pace (see LiveCapture::onIdle).
  int64_t piecesReceived = 0;
  int64_t bytesReceived = 0;
  std::vector<std::byte> pending;  // read, not yet dated; ends at readBytes
  int64_t previousArrival = 0;     // the read before the last one; 0: none
  int64_t lastArrival = 0;         // CLOCK_MONOTONIC ns of the last read with audio
  int64_t lastRequest = 0;         // CLOCK_MONOTONIC ns of the last timing request
  TrackTimeline timeline;
  AudioBatcher batcher;

 private:
  static void onRead(pa_stream* stream, size_t length, void* userdata);
  static void onState(pa_stream* stream, void* userdata);
  static void onTiming(pa_stream* stream, int success, void* userdata);

  TrackEvents& events_;
  const int64_t toleranceFrames_;
  PulseLoop* mainloop_ = nullptr;  // of the current connection
  pa_stream* stream_ = nullptr;
  pa_stream* previous_ = nullptr;  // the connection being replaced
  bool ready_ = false;
  bool timingRequested_ = false;
  bool quietCheck_ = false;
  int64_t quietSince_ = 0;
  int64_t startNanoseconds_ = 0;
};

int64_t monotonicNanoseconds();

}  // namespace velkin::pulse
