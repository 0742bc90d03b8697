#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Error.hpp"
#include "platform/Media.hpp"
#include "platform/Result.hpp"

namespace velkin {

class SerialQueue;

// The kind of a stream output. Hosts may report values beyond these three.
enum class OutputType : int32_t {
  screen = 0,
  audio = 1,  // what the computer plays
  microphone = 2,
};

struct Display {
  uint32_t width = 0;
  uint32_t height = 0;
};

struct ShareableContent {
  std::vector<Display> displays;  // in the host's order; may be empty
};

struct ContentFilter {
  Display display;
};

struct StreamConfiguration {
  uint32_t width = 0;
  uint32_t height = 0;
  MediaTime minimumFrameInterval = MediaTime::make(1, 60);
  int queueDepth = 8;
  bool showsCursor = true;
  bool capturesAudio = false;
  bool captureMicrophone = false;
  int sampleRate = 48000;
  int channelCount = 2;
  bool excludesCurrentProcessAudio = false;
};

class CaptureStream;

// Receives the samples of the output types it was added for.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  // Runs on the queue given when the output was added for `type`, one sample at a
  // time per queue. The sample is borrowed for this call only.
  virtual void stream(CaptureStream& stream, const SampleBuffer& sample, OutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // Runs on a thread of the host's choosing, at most once, when the stream ends
  // by itself (the audio server went away, a device failed).
  virtual void streamDidStop(CaptureStream& stream, const Error& error) = 0;
};

class CaptureStream {
 public:
  using Completion = std::function<void(std::optional<Error>)>;

  virtual ~CaptureStream() = default;

  // Samples of `type` then reach `output` on `queue`. The output and the queue
  // must outlive the stream.
  virtual std::optional<Error> addStreamOutput(StreamOutput& output, OutputType type,
                                               SerialQueue& queue) = 0;
  // `handler` is called once, on a thread of the host's choosing.
  virtual void startCapture(Completion handler) = 0;
  // `handler` is called once, on a thread of the host's choosing. After a stop
  // reported without error no further samples are delivered.
  virtual void stopCapture(Completion handler) = 0;
};

// The host's screen-and-audio capture service.
class CaptureService {
 public:
  using ContentHandler = std::function<void(Result<ShareableContent>)>;

  virtual ~CaptureService() = default;

  // `handler` is called once, on a thread of the host's choosing.
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentHandler handler) = 0;
  // The delegate must outlive the stream.
  virtual std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;
};

}  // namespace velkin
