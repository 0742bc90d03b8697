#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Directory.hpp"
#include "platform/Media.hpp"
#include "platform/MediaWriter.hpp"
#include "segments/FinishTracker.hpp"

namespace velkin {

// Writes one audio track as consecutive CAF segment files, each followed by an
// empty ".ready" marker once the media writer reports the file complete. A
// segment's number is its place in the track: segment N holds the audio from
// (N - 1) x `seconds` to N x `seconds` after the track's first sample
// ("<label>-000001.caf" the first `seconds`), so both tracks number the same
// moment alike. Files are made in the directory held open at the start, by
// name from its descriptor, whatever its path names later.
//
// While writing fails (a full disk, a directory gone or unwritable), the
// track's audio is held in memory, up to `holdSeconds`, as the 16-bit samples
// that will be written; a new segment is tried at most once a second of the
// track's own timeline, under the number its audio belongs to, and once one
// works the held audio is written first, in order. Audio stays held until the
// segment that took it is known complete, so a segment that fails, even at its
// finish, gives its audio back to the hold and is written again under its own
// number. Only a full hold loses audio, a whole segment's place at a time: a
// gap in the numbers is a gap in the call of exactly that length.
//
// Has no lock: the caller uses it from one thread at a time (the track's
// delivery queue while capturing). Failures are reported on standard error, one
// line when an outage begins and one when it ends, and audio that the stop
// leaves unwritten in one last line; the writer stays usable.
class SegmentWriter {
 public:
  SegmentWriter(std::string label, Directory directory, MediaWriterService& media,
                std::shared_ptr<FinishTracker> finishes, double seconds = 5.0,
                double holdSeconds = 30.0);
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Takes one sample, borrowed for this call.
  void append(const SampleBuffer& sample);
  // Makes a last attempt for held audio, then hands the open segment, if any,
  // to its finish. Does not wait for it. Audio that cannot be written, held
  // now or in a segment whose finish fails, is reported in one line.
  void stop();

  const std::string& label() const { return label_; }
  // The number of the last segment begun, 0 before the first.
  int64_t counter() const { return counter_; }
  bool hasOpenSegment() const { return writer_ != nullptr; }
  // Seconds of audio held in memory and in no file: nonzero only in an outage.
  double heldSeconds() const;

  // What a segment's finish found, shared with its completion on the finishing
  // thread; whoever moves it out of `pending` first decides.
  enum class Fate : int { pending, completed, failed, abandoned };

 private:
  // One delivered buffer as it will be stored: interleaved 16-bit samples, all
  // within one segment's place.
  struct Chunk {
    MediaTime pts;
    double rate = 0;
    uint32_t channels = 0;
    int64_t frames = 0;
    int64_t position = 0;  // frames after the track's first sample
    int countedIn = 0;     // the outage whose held audio counts it already
    std::vector<int16_t> samples;
  };
  // A segment whose audio is not yet known to be safe: open, or finishing.
  struct Unconfirmed {
    std::shared_ptr<std::atomic<Fate>> fate;
    std::shared_ptr<MediaWriter> writer;
    int64_t number = 0;
    std::deque<Chunk> audio;
    // Why its ready marker could not be made (an errno value), set before the
    // fate turns failed.
    std::shared_ptr<std::atomic<int>> markerError = std::make_shared<std::atomic<int>>(0);
  };

  void take(Chunk chunk);
  bool write(Chunk chunk);
  std::optional<std::string> begin(const Chunk& first, int64_t number);
  void finish(double lostBefore = -1);
  void enterOutage(const std::string& line);
  // Trimmed to the hold's size unless `trim` is false: the caller trims later.
  void hold(Chunk chunk, bool atFront, bool trim = true);
  void trimHold();
  void drop(Chunk& chunk);
  void giveBack(std::size_t first);
  void checkFinishes();
  void retry();
  int64_t slotOf(const Chunk& chunk) const;
  int64_t slotFrames(double rate) const;

  const std::string label_;
  const Directory directory_;
  const double seconds_;
  const double holdSeconds_;
  MediaWriterService& media_;
  // Shared with the completions of finishing segments, which may outlive the writer.
  const std::shared_ptr<FinishTracker> finishes_;
  int64_t counter_ = 0;
  int64_t openSlot_ = 0;  // the open segment's place: its number less one
  std::shared_ptr<MediaWriter> writer_;
  std::shared_ptr<MediaWriterInput> input_;
  FormatDescription format_;  // what the open segment's input takes
  std::optional<MediaTime> start_;
  std::deque<Unconfirmed> unconfirmed_;  // oldest first; the open segment last
  std::deque<Chunk> held_;               // oldest first; in no file
  int64_t heldFrames_ = 0;
  bool undescribedReported_ = false;
  // Where the track began (the first sample's time, once one had a numeric
  // time) and where its next frame lies, in frames from there.
  std::optional<double> origin_;
  int64_t next_ = 0;
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
