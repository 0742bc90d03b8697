#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Media.hpp"
#include "platform/MediaWriter.hpp"
#include "segments/FinishTracker.hpp"

namespace velkin {

// Writes one audio track as consecutive CAF segment files of about `seconds`
// each ("<label>-000001.caf", ...), each followed by an empty ".ready" marker
// once the media writer reports the file complete.
//
// Has no lock: the caller uses it from one thread at a time (the track's
// delivery queue while capturing). Failures are reported as one line on
// standard error; the writer stays usable.
class SegmentWriter {
 public:
  SegmentWriter(std::string label, std::filesystem::path directory, MediaWriterService& media,
                std::shared_ptr<FinishTracker> finishes, double seconds = 5.0);
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Takes one sample, borrowed for this call.
  void append(const SampleBuffer& sample);
  // Hands the open segment, if any, to its finish. Does not wait for it.
  void stop();

  const std::string& label() const { return label_; }
  int64_t counter() const { return counter_; }
  bool hasOpenSegment() const { return writer_ != nullptr; }

 private:
  void begin(const FormatDescription& format, MediaTime at);
  void finish();

  const std::string label_;
  const std::filesystem::path directory_;
  const double seconds_;
  MediaWriterService& media_;
  // Shared with the completions of finishing segments, which may outlive the writer.
  const std::shared_ptr<FinishTracker> finishes_;
  int64_t counter_ = 0;
  std::shared_ptr<MediaWriter> writer_;
  std::shared_ptr<MediaWriterInput> input_;
  std::optional<MediaTime> start_;
  // Whether the open segment's first failed append has been reported.
  bool failureReported_ = false;
};

}  // namespace velkin
