#include "platform/pulse/RecordTrack.hpp"

#include <time.h>

#include <algorithm>

#include "platform/pulse/PulseConnection.hpp"

namespace velkin::pulse {

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

RecordTrack::RecordTrack(OutputType type_, const char* label_, uint32_t rate_, uint32_t channels,
                         const DatingPolicy& policy_, int64_t toleranceFrames, int64_t bufferFrames,
                         int64_t batchFrames, TrackEvents& events)
    : type(type_),
      label(label_),
      rate(rate_),
      frameBytes(size_t(channels) * sizeof(int16_t)),
      format(AudioStreamDescription{double(rate_), channels, SampleFormat::int16}),
      policy(policy_),
      timeline(toleranceFrames),
      batcher(std::max<size_t>(frameBytes, 1), bufferFrames, batchFrames),
      events_(events),
      toleranceFrames_(toleranceFrames) {}

void RecordTrack::restart(int64_t startNanoseconds) {
  startNanoseconds_ = startNanoseconds;
  timeline = TrackTimeline(toleranceFrames_);
  batcher.reset(0);
  refusals = 0;
  quietSince_ = startNanoseconds;
}

int64_t RecordTrack::framesAt(int64_t nanoseconds) const {
  return (nanoseconds - startNanoseconds_) / 1000 * int64_t(rate) / 1'000'000;
}

bool RecordTrack::open(PulseLoop* mainloop, pa_context* context, const std::string& device_,
                       const std::string& masterDevice_, pa_usec_t fragmentUsec, bool replacing) {
  VELKIN_ASSERT_MAINLOOP_LOCKED(mainloop);
  mainloop_ = mainloop;
  // The 16-bit samples the files hold: the server converts once, and the
  // audio reaches the files as it came.
  const pa_sample_spec sampleSpec{PA_SAMPLE_S16NE, rate, uint8_t(frameBytes / sizeof(int16_t))};
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, label);
  // Not "phone": desktops cork or duck other streams while a phone stream runs.
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  pa_stream* stream = pa_stream_new_with_proplist(context, label, &sampleSpec, nullptr, properties);
  pa_proplist_free(properties);
  if (stream == nullptr) {
    return false;
  }
  pa_stream_set_state_callback(stream, &RecordTrack::onState, this);
  pa_stream_set_read_callback(stream, &RecordTrack::onRead, this);
  pa_buffer_attr attributes{};
  attributes.maxlength = uint32_t(-1);
  attributes.tlength = uint32_t(-1);
  attributes.prebuf = uint32_t(-1);
  attributes.minreq = uint32_t(-1);
  // With ADJUST_LATENCY the source captures in pieces of about this length: each
  // piece is one wake-up of this process, whatever size the buffers we deliver.
  attributes.fragsize = uint32_t(pa_usec_to_bytes(fragmentUsec, &sampleSpec));
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, device_.c_str(), &attributes, flags) < 0) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_unref(stream);
    return false;
  }
  closePrevious();
  if (replacing) {
    previous_ = std::exchange(stream_, nullptr);
  }
  stream_ = stream;
  device = device_;
  masterDevice = masterDevice_;
  ready_ = false;
  readBytes = 0;
  pending.clear();
  timingRequested_ = false;
  previousArrival = lastArrival = 0;
  quietSince_ = monotonicNanoseconds();
  heldTiming.reset();
  timeline.startConnection(previous_ != nullptr);
  return true;
}

namespace {

void disconnect(pa_stream*& stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    pa_stream_disconnect(stream);
  }
  pa_stream_unref(std::exchange(stream, nullptr));
}

// Appends what `stream` holds to `into`, holes as silence of their length; the
// bytes and pieces taken are added to `bytes` and `pieces`.
void drain(pa_stream* stream, std::vector<std::byte>& into, int64_t& bytes, int64_t& pieces) {
  if (stream == nullptr || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
    return;
  }
  const void* data = nullptr;
  size_t length = 0;
  while (pa_stream_peek(stream, &data, &length) == 0 && length > 0) {
    const auto* begin = static_cast<const std::byte*>(data);
    if (begin != nullptr) {
      into.insert(into.end(), begin, begin + length);
    } else {
      // A hole the server reports in the stream: what it lacks, as silence.
      into.resize(into.size() + length, std::byte{0});
    }
    bytes += int64_t(length);
    ++pieces;
    pa_stream_drop(stream);
  }
}

}  // namespace

void RecordTrack::closePrevious() {
  previousPending.clear();
  if (previous_ != nullptr) {
    disconnect(previous_);
  }
}

void RecordTrack::readPrevious() {
  int64_t bytes = 0;
  drain(previous_, previousPending, bytes, piecesReceived);
  bytesReceived += bytes;
}

void RecordTrack::close() {
  closePrevious();
  heldTiming.reset();
  if (stream_ == nullptr) {
    return;
  }
  pending.clear();
  disconnect(stream_);
  device.clear();
  masterDevice.clear();
  ready_ = false;
  timingRequested_ = false;
  quietCheck_ = false;
  quietSince_ = monotonicNanoseconds();
}

void RecordTrack::read() {
  const int64_t before = readBytes;
  drain(stream_, pending, readBytes, piecesReceived);
  bytesReceived += readBytes - before;
  if (readBytes != before) {
    previousArrival = std::exchange(lastArrival, monotonicNanoseconds());
    quietSince_ = lastArrival;
  }
}

bool RecordTrack::requestTiming(bool quietCheck) {
  quietCheck_ = quietCheck_ || quietCheck;
  if (quietCheck) {
    quietSince_ = monotonicNanoseconds();
  }
  if (timingRequested_) {
    return true;
  }
  if (stream_ == nullptr) {
    return false;
  }
  pa_operation* operation = pa_stream_update_timing_info(stream_, &RecordTrack::onTiming, this);
  if (operation == nullptr) {
    return false;
  }
  pa_operation_unref(operation);
  timingRequested_ = true;
  lastRequest = monotonicNanoseconds();
  return true;
}

// Runs on the libpulse thread: audio has arrived.
void RecordTrack::onRead(pa_stream* stream, size_t, void* userdata) {
  auto& self = *static_cast<RecordTrack*>(userdata);
  VELKIN_ASSERT_LIBPULSE_THREAD(self.mainloop_);
  if (stream == self.previous_) {
    self.readPrevious();
    self.events_.previousAudio(self, false);
  } else if (stream == self.stream_) {
    const int64_t before = self.readBytes;
    self.read();
    if (self.readBytes != before) {
      self.events_.audioRead(self);
    }
  }
}

// Runs on the libpulse thread, or on the thread connecting the stream (with the
// main loop lock held) for the change connecting makes at once.
void RecordTrack::onState(pa_stream* stream, void* userdata) {
  auto& self = *static_cast<RecordTrack*>(userdata);
  VELKIN_ASSERT_MAINLOOP_LOCKED(self.mainloop_);
  // Wakes a start waiting for the connection to settle.
  self.mainloop_->signal();
  if (stream == self.previous_) {
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
      self.events_.previousAudio(self, true);
    }
    return;
  }
  if (stream != self.stream_) {
    return;
  }
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      self.ready_ = true;
      self.refusals = 0;
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self.events_.streamEnded(self);
      break;
    default:
      break;
  }
}

// Runs on the libpulse thread: the server's timing snapshot is in. (Cancelled with
// the connection, it is never called.)
void RecordTrack::onTiming(pa_stream* stream, int success, void* userdata) {
  auto& self = *static_cast<RecordTrack*>(userdata);
  if (stream != self.stream_ || !self.timingRequested_) {
    return;  // a connection since replaced
  }
  VELKIN_ASSERT_LIBPULSE_THREAD(self.mainloop_);
  self.timingRequested_ = false;
  // Wakes a stop waiting for the last replies.
  self.mainloop_->signal();
  const bool quietCheck = std::exchange(self.quietCheck_, false);
  const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
  std::optional<StreamTiming> timing;
  if (info != nullptr && !info->write_index_corrupt) {
    // The server took its snapshot between our request and its reply; the
    // request is the earliest it can have been. Dating by that bound can only
    // make a gap look shorter, never make one up: when this thread is held up
    // (a busy machine), the reply is read late, and a guess from the time it
    // was read would turn the delay into silence that shifts the whole track.
    timing =
        StreamTiming{self.framesAt(self.lastRequest), info->write_index / int64_t(self.frameBytes),
                     int64_t(info->source_usec) * int64_t(self.rate) / 1'000'000};
  }
  self.events_.timingArrived(self, timing, quietCheck);
}

}  // namespace velkin::pulse
