#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Media.hpp"
#include "platform/MediaWriter.hpp"
#include "segments/FinishTracker.hpp"

namespace velkin {

// Writes one audio track as consecutive CAF segment files of about `seconds`
// each ("<label>-000001.caf", ...), each followed by an empty ".ready" marker
// once the media writer reports the file complete.
//
// While writing fails (a full disk), the track's audio is held in memory, up to
// `holdSeconds`, as the 16-bit samples that will be written; a new segment is
// tried at most once a second of the track's own timeline, and once one works
// the held audio is written first, in order. Audio stays held until the segment
// that took it is known complete, so a segment that fails, even at its finish,
// gives its audio back to the hold rather than losing it.
//
// Has no lock: the caller uses it from one thread at a time (the track's
// delivery queue while capturing). Failures are reported on standard error, one
// line when an outage begins and one when it ends; the writer stays usable.
class SegmentWriter {
 public:
  SegmentWriter(std::string label, std::filesystem::path directory, MediaWriterService& media,
                std::shared_ptr<FinishTracker> finishes, double seconds = 5.0,
                double holdSeconds = 30.0);
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Takes one sample, borrowed for this call.
  void append(const SampleBuffer& sample);
  // Makes a last attempt for held audio, then hands the open segment, if any,
  // to its finish. Does not wait for it.
  void stop();

  const std::string& label() const { return label_; }
  int64_t counter() const { return counter_; }
  bool hasOpenSegment() const { return writer_ != nullptr; }
  // Seconds of audio held in memory and in no file: nonzero only in an outage.
  double heldSeconds() const;

  // What a segment's finish found, shared with its completion on the finishing
  // thread; whoever moves it out of `pending` first decides.
  enum class Fate : int { pending, completed, failed, abandoned };

 private:
  // One delivered buffer as it will be stored: interleaved 16-bit samples.
  struct Chunk {
    MediaTime pts;
    double rate = 0;
    uint32_t channels = 0;
    int64_t frames = 0;
    int countedIn = 0;  // the outage whose held audio counts it already
    std::vector<int16_t> samples;
  };
  // A segment whose audio is not yet known to be safe: open, or finishing.
  struct Unconfirmed {
    std::shared_ptr<std::atomic<Fate>> fate;
    std::shared_ptr<MediaWriter> writer;
    std::deque<Chunk> audio;
  };

  bool write(Chunk chunk);
  std::optional<std::string> begin(const Chunk& first);
  void finish();
  void enterOutage(const std::string& line);
  void hold(Chunk chunk, bool atFront);
  void drop(Chunk& chunk);
  void giveBack(std::size_t first);
  void checkFinishes();
  void retry();

  const std::string label_;
  const std::filesystem::path directory_;
  const double seconds_;
  const double holdSeconds_;
  MediaWriterService& media_;
  // Shared with the completions of finishing segments, which may outlive the writer.
  const std::shared_ptr<FinishTracker> finishes_;
  int64_t counter_ = 0;
  std::shared_ptr<MediaWriter> writer_;
  std::shared_ptr<MediaWriterInput> input_;
  FormatDescription format_;  // what the open segment's input takes
  std::optional<MediaTime> start_;
  std::deque<Unconfirmed> unconfirmed_;  // oldest first; the open segment last
  std::deque<Chunk> held_;               // oldest first; in no file
  int64_t heldFrames_ = 0;
  bool undescribedReported_ = false;
  // The track's own time, in seconds: the last numeric presentation time, or
  // frames counted on from it.
  double clock_ = 0;
  // The outage: since when writing fails, when a segment was last tried, and
  // what the hold took and dropped since it began (in seconds).
  bool failing_ = false;
  int outage_ = 0;
  double lastAttempt_ = 0;
  double outageHeld_ = 0;
  double outageDropped_ = 0;
};

}  // namespace velkin
