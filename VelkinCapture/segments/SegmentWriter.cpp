#include "segments/SegmentWriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "platform/Console.hpp"
#include "segments/SegmentFiles.hpp"

namespace velkin {

namespace {

using Fate = SegmentWriter::Fate;

// Creates the empty ready marker: 0, or the errno value that kept it from being
// made. Whatever stands at
// the name goes first, and the marker is a new file or nothing: a hard link
// planted there keeps its target's contents, a symbolic link is not followed,
// and a FIFO can neither block the finishing thread nor pass for the marker.
int createReadyMarker(const Directory& directory, const std::string& marker) {
  if (const int failed = directory.remove(marker); failed != 0 && failed != ENOENT) {
    return failed;
  }
  const int fd =
      directory.openFile(marker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) {
    return errno;
  }
  ::close(fd);
  return 0;
}

// Full scale 1.0 is 32768, saturating at both limits, NaN as silence: the same
// conversion a 16-bit file writer applies.
int16_t toInt16(float sample) {
  const float x = sample * 32768.0f;
  return x >= 32767.0f    ? int16_t{32767}
         : x <= -32768.0f ? int16_t{-32768}
         : x == x         ? static_cast<int16_t>(std::lrint(x))
                          : int16_t{0};
}

double secondsOf(int64_t frames, double rate) {
  return rate > 0 ? static_cast<double>(frames) / rate : 0;
}

std::string markerName(const std::string& segment) {
  return segment + ".ready";
}

}  // namespace

SegmentWriter::SegmentWriter(std::string label, Directory directory, MediaWriterService& media,
                             std::shared_ptr<FinishTracker> finishes, double seconds,
                             double holdSeconds)
    : label_(std::move(label)),
      directory_(std::move(directory)),
      seconds_(seconds),
      holdSeconds_(holdSeconds),
      media_(media),
      finishes_(std::move(finishes)) {}

SegmentWriter::~SegmentWriter() = default;

double SegmentWriter::heldSeconds() const {
  double total = 0;
  for (const Chunk& chunk : held_) {
    total += secondsOf(chunk.frames, chunk.rate);
  }
  return total;
}

void SegmentWriter::append(const SampleBuffer& sample) {
  if (!sample.dataIsReady() || sample.formatDescription() == nullptr) {
    return;
  }
  const AudioStreamDescription* audio = sample.formatDescription()->streamBasicDescription();
  // Audio without a rate or a channel could never be written, nor held for long.
  if (audio == nullptr || !(audio->sampleRate > 0) || audio->channelsPerFrame == 0) {
    if (!undescribedReported_) {
      undescribedReported_ = true;
      writeStandardError("Velkin " + label_ + " writer error: " +
                         (audio == nullptr ? "missing audio stream description"
                                           : "input format is not supported") +
                         "\n");
    }
    return;
  }

  Chunk chunk;
  chunk.pts = sample.presentationTimeStamp();
  chunk.rate = audio->sampleRate;
  chunk.channels = audio->channelsPerFrame;
  chunk.frames = sample.frameCount();
  const std::size_t count = static_cast<std::size_t>(chunk.frames) * chunk.channels;
  chunk.samples.resize(count);
  const std::byte* data = sample.data().data();
  // The samples the files hold come as they are stored, in one copy (the one
  // the hold needs); others are converted value by value: the borrowed bytes
  // need not be aligned for their type.
  if (audio->format == SampleFormat::int16 && count > 0) {
    std::memcpy(chunk.samples.data(), data, count * sizeof(int16_t));
  }
  for (std::size_t i = 0; i < count && audio->format != SampleFormat::int16; ++i) {
    if (audio->format == SampleFormat::float32) {
      float x;
      std::memcpy(&x, data + i * sizeof x, sizeof x);
      chunk.samples[i] = toInt16(x);
    } else {
      int32_t x;
      std::memcpy(&x, data + i * sizeof x, sizeof x);
      chunk.samples[i] = static_cast<int16_t>(x >> 16);
    }
  }
  clock_ =
      chunk.pts.isNumeric() ? chunk.pts.seconds() : clock_ + secondsOf(chunk.frames, chunk.rate);
  lastAttempt_ = std::min(lastAttempt_, clock_);  // a timeline that starts again
  if (chunk.pts.isNumeric()) {
    if (!origin_) {
      origin_ = chunk.pts.seconds() - secondsOf(next_, chunk.rate);
    }
    chunk.position = std::llround((chunk.pts.seconds() - *origin_) * chunk.rate);
  } else {
    chunk.position = next_;
  }
  next_ = chunk.position + chunk.frames;

  // A buffer that crosses into the next segment's place is cut there, so that
  // each segment holds exactly its own stretch of the track.
  const int64_t slot = slotFrames(chunk.rate);
  const int64_t into = chunk.position > 0 ? chunk.position % slot : 0;
  if (chunk.position >= 0 && into + chunk.frames > slot) {
    const int64_t head = slot - into;
    Chunk rest;
    rest.rate = chunk.rate;
    rest.channels = chunk.channels;
    rest.frames = chunk.frames - head;
    rest.position = chunk.position + head;
    rest.pts =
        chunk.pts.isNumeric()
            ? MediaTime::make(chunk.pts.value + std::llround(static_cast<double>(head) *
                                                             chunk.pts.timescale / chunk.rate),
                              chunk.pts.timescale)
            : chunk.pts;
    const auto cut = chunk.samples.begin() + static_cast<std::ptrdiff_t>(head * chunk.channels);
    rest.samples.assign(cut, chunk.samples.end());
    chunk.samples.erase(cut, chunk.samples.end());
    chunk.frames = head;
    take(std::move(chunk));
    take(std::move(rest));
    return;
  }
  take(std::move(chunk));
}

void SegmentWriter::take(Chunk chunk) {
  checkFinishes();
  if (failing_) {
    hold(std::move(chunk), false);
    if (clock_ - lastAttempt_ >= 1.0) {
      retry();
    }
    return;
  }
  (void)write(std::move(chunk));
}

int64_t SegmentWriter::slotFrames(double rate) const {
  return std::max<int64_t>(1, std::llround(seconds_ * rate));
}

int64_t SegmentWriter::slotOf(const Chunk& chunk) const {
  return chunk.position > 0 ? chunk.position / slotFrames(chunk.rate) : 0;
}

void SegmentWriter::stop() {
  checkFinishes();
  if (failing_) {
    retry();  // the last chance for what is held
  }
  // What is still held now will never be written; reported with whatever
  // the last segment's finish loses, or at once when no segment is open.
  double lost = heldSeconds();
  held_.clear();
  heldFrames_ = 0;
  failing_ = false;
  if (writer_ != nullptr) {
    finish(lost);
    return;
  }
  for (const Unconfirmed& segment : unconfirmed_) {
    if (segment.fate->load() == Fate::failed) {
      for (const Chunk& chunk : segment.audio) {
        lost += secondsOf(chunk.frames, chunk.rate);
      }
    }
  }
  unconfirmed_.clear();
  if (lost > 0) {
    char line[160];
    std::snprintf(line, sizeof line, " writer error: %.1f s of audio could not be written\n", lost);
    writeStandardError("Velkin " + label_ + line);
  }
}

bool SegmentWriter::write(Chunk chunk) {
  if (writer_ != nullptr) {
    const AudioStreamDescription* open = format_.streamBasicDescription();
    // Audio dated before the open segment's place (a timeline that went back)
    // stays in it: a segment once finished is never written again.
    if (open->sampleRate != chunk.rate || open->channelsPerFrame != chunk.channels ||
        slotOf(chunk) > openSlot_) {
      finish();
    }
  }
  if (writer_ == nullptr) {
    // Never a number already used, even when the timeline went back or the
    // format changed within a segment's place.
    const int64_t number = std::max(slotOf(chunk) + 1, counter_ + 1);
    if (std::optional<std::string> failure = begin(chunk, number)) {
      enterOutage(*failure);
      hold(std::move(chunk), true);
      return false;
    }
  }
  const SampleBuffer sample(true, chunk.pts, &format_,
                            std::span(reinterpret_cast<const std::byte*>(chunk.samples.data()),
                                      chunk.samples.size() * 2));
  const bool taken = input_->isReadyForMoreMediaData() && input_->append(sample);
  unconfirmed_.back().audio.push_back(std::move(chunk));
  if (!taken) {
    const std::optional<Error> error = writer_->error();
    enterOutage("Velkin " + label_ + " writer error: " +
                (error ? error->localizedDescription() : std::string("append failed")) + "\n");
    giveBack(unconfirmed_.size() - 1);
    return false;
  }
  return true;
}

std::optional<std::string> SegmentWriter::begin(const Chunk& first, int64_t number) {
  // A failed attempt leaves the number unused: the next one tries it again.
  const std::string name = segmentFileName(label_, number);
  const std::filesystem::path url = directory_.pathOf(name);

  // A marker left by an earlier run would vouch for the file about to be
  // rewritten, so it goes first; while it cannot go, the number is not written.
  if (const int failed = directory_.remove(markerName(name)); failed != 0 && failed != ENOENT) {
    return "Velkin writer error: " +
           posixError(failed, readyMarkerPath(url).string()).description() + "\n";
  }
  (void)directory_.remove(name);  // a leftover the writer cannot replace is its own error

  Result<std::shared_ptr<MediaWriter>> made =
      media_.makeWriter(directory_, name, MediaFileType::coreAudioFormat);
  if (!made) {
    return "Velkin writer error: " + made.error().description() + "\n";
  }
  std::shared_ptr<MediaWriter> writer = std::move(made.value());
  // A failed attempt leaves an empty file that will never be marked.
  const auto failed = [&](const std::string& what) {
    writer.reset();
    (void)directory_.remove(name);
    return "Velkin " + label_ + " writer error: " + what + "\n";
  };

  AudioOutputSettings settings;
  settings.formatID = kAudioFormatLinearPCM;
  settings.sampleRate = first.rate;
  settings.numberOfChannels = static_cast<int64_t>(first.channels);
  settings.linearPCMBitDepth = 16;
  settings.linearPCMIsFloat = false;
  settings.linearPCMIsBigEndian = false;
  settings.linearPCMIsNonInterleaved = false;
  format_ =
      FormatDescription(AudioStreamDescription{first.rate, first.channels, SampleFormat::int16});

  std::shared_ptr<MediaWriterInput> input = media_.makeAudioInput(settings, &format_);
  if (input != nullptr) {
    input->setExpectsMediaDataInRealTime(true);
  }
  if (input == nullptr || !writer->canAddInput(*input)) {
    return failed("input format is not supported");
  }
  writer->addInput(input);

  if (!writer->startWriting()) {
    const std::optional<Error> error = writer->error();
    return failed(error ? error->localizedDescription() : std::string("startWriting failed"));
  }
  writer->startSessionAtSourceTime(first.pts);

  writer_ = std::move(writer);
  input_ = std::move(input);
  start_ = first.pts;
  counter_ = number;
  openSlot_ = number - 1;
  unconfirmed_.push_back({std::make_shared<std::atomic<Fate>>(Fate::pending), writer_, number, {}});
  return std::nullopt;
}

void SegmentWriter::finish(double lostBefore) {
  if (writer_ == nullptr) {
    return;
  }
  // Cleared before any platform call: from here on the segment belongs to its
  // completion, and the next append opens a new one.
  std::shared_ptr<MediaWriter> writer = std::move(writer_);
  writer_.reset();
  std::shared_ptr<MediaWriterInput> input = std::move(input_);
  input_.reset();
  start_.reset();
  std::shared_ptr<std::atomic<Fate>> fate = unconfirmed_.back().fate;
  std::shared_ptr<std::atomic<int>> markerError = unconfirmed_.back().markerError;
  const std::string name = segmentFileName(label_, unconfirmed_.back().number);

  // The last finish of a run: whatever fails from here on is lost, and it says
  // how much, counting the segments still finishing before it (their finishes
  // run first) and `lostBefore`, the audio still held at the stop.
  std::vector<std::pair<std::shared_ptr<std::atomic<Fate>>, double>> last;
  if (lostBefore >= 0) {
    for (const Unconfirmed& segment : unconfirmed_) {
      double seconds = 0;
      for (const Chunk& chunk : segment.audio) {
        seconds += secondsOf(chunk.frames, chunk.rate);
      }
      last.emplace_back(segment.fate, seconds);
    }
    unconfirmed_.clear();
  }

  input->markAsFinished();
  if (finishes_ != nullptr) {
    finishes_->started();
  }
  // Runs once on the media writer's finishing thread, possibly while this
  // writer's next segment is being written; it touches none of this class's
  // fields, only what it captured. A segment whose audio went back to the hold
  // is left to the writer, which writes its number again.
  writer->finishWriting([writer, directory = directory_, name, fate, markerError,
                         finishes = finishes_, last = std::move(last), lostBefore, label = label_] {
    Fate expected = Fate::pending;
    if (writer->status() == MediaWriterStatus::completed &&
        fate->compare_exchange_strong(expected, Fate::completed)) {
      if (const int failed = createReadyMarker(directory, markerName(name))) {
        markerError->store(failed);  // before the fate, which publishes it
        fate->store(Fate::failed);
      }
    } else if (expected == Fate::pending) {
      fate->compare_exchange_strong(expected, Fate::failed);
    }
    double lost = lostBefore;
    for (const auto& [segmentFate, seconds] : last) {
      lost += segmentFate->load() == Fate::completed ? 0 : seconds;
    }
    if (lost > 0) {
      char line[160];
      std::snprintf(line, sizeof line, " writer error: %.1f s of audio could not be written\n",
                    lost);
      writeStandardError("Velkin " + label + line);
    }
    if (finishes != nullptr) {
      finishes->completed();
    }
  });
}

void SegmentWriter::enterOutage(const std::string& line) {
  if (!failing_) {
    // One line per outage, however many attempts fail in it.
    writeStandardError(line);
    failing_ = true;
    ++outage_;
    outageHeld_ = 0;
    outageDropped_ = 0;
  }
  lastAttempt_ = clock_;
}

void SegmentWriter::hold(Chunk chunk, bool atFront, bool trim) {
  if (chunk.countedIn != outage_) {
    chunk.countedIn = outage_;
    outageHeld_ += secondsOf(chunk.frames, chunk.rate);
  }
  heldFrames_ += chunk.frames;
  if (atFront) {
    held_.push_front(std::move(chunk));
  } else {
    held_.push_back(std::move(chunk));
  }
  if (trim) {
    trimHold();
  }
}

void SegmentWriter::trimHold() {
  // Full: the oldest segment's place goes whole, and is counted, so that the
  // numbers left out are exactly the call that is lost.
  while (!held_.empty() && secondsOf(heldFrames_, held_.front().rate) > holdSeconds_) {
    const int64_t slot = slotOf(held_.front());
    while (!held_.empty() && slotOf(held_.front()) == slot) {
      drop(held_.front());
      heldFrames_ -= held_.front().frames;
      held_.pop_front();
    }
  }
}

void SegmentWriter::drop(Chunk& chunk) {
  if (chunk.countedIn != outage_) {
    chunk.countedIn = outage_;
    outageHeld_ += secondsOf(chunk.frames, chunk.rate);
  }
  outageDropped_ += secondsOf(chunk.frames, chunk.rate);
}

void SegmentWriter::giveBack(std::size_t first) {
  // Segments from `first` on that have not completed are abandoned: their files
  // go, and their audio goes back to the front of the hold, to be written again
  // under the same numbers. One that completed meanwhile is kept, and what came
  // before it cannot be placed after it: lost, its number left out.
  std::size_t keptUpTo = first;  // entries before this are settled
  for (std::size_t j = first; j < unconfirmed_.size(); ++j) {
    Fate expected = Fate::pending;
    if (!unconfirmed_[j].fate->compare_exchange_strong(expected, Fate::abandoned) &&
        expected == Fate::completed) {
      keptUpTo = j + 1;
    }
  }
  if (writer_ != nullptr && keptUpTo < unconfirmed_.size()) {
    finish();  // the open segment, now abandoned
  }
  for (std::size_t j = first; j < unconfirmed_.size(); ++j) {
    if (unconfirmed_[j].fate->load() != Fate::completed) {
      // Only this thread makes names, and a finish that is still running on
      // an abandoned file goes on in an unlinked one.
      (void)directory_.remove(segmentFileName(label_, unconfirmed_[j].number));
      if (j < keptUpTo) {
        for (Chunk& chunk : unconfirmed_[j].audio) {
          drop(chunk);
        }
      }
    }
  }
  if (keptUpTo < unconfirmed_.size()) {
    counter_ = unconfirmed_[keptUpTo].number - 1;
  }
  // All of it goes back before the hold is trimmed: trimmed chunk by chunk, a
  // nearly full hold would cut the tail off a segment's place, to be written
  // later as a short segment with no gap in the numbers.
  for (std::size_t j = unconfirmed_.size(); j-- > keptUpTo;) {
    for (auto chunk = unconfirmed_[j].audio.rbegin(); chunk != unconfirmed_[j].audio.rend();
         ++chunk) {
      hold(std::move(*chunk), true, false);
    }
  }
  trimHold();
  unconfirmed_.erase(unconfirmed_.begin() + static_cast<std::ptrdiff_t>(first), unconfirmed_.end());
}

void SegmentWriter::checkFinishes() {
  // The open segment, always last, is settled by its own appends.
  while (unconfirmed_.size() > (writer_ != nullptr ? 1u : 0u)) {
    const Fate fate = unconfirmed_.front().fate->load();
    if (fate == Fate::completed) {
      unconfirmed_.pop_front();
      continue;
    }
    if (fate == Fate::failed) {
      const Unconfirmed& failed = unconfirmed_.front();
      std::optional<Error> error = failed.writer->error();
      if (const int marker = failed.markerError->load(); !error && marker != 0) {
        error = posixError(
            marker, directory_.pathOf(markerName(segmentFileName(label_, failed.number))).string());
      }
      enterOutage("Velkin " + label_ + " writer error: " +
                  (error ? error->localizedDescription() : std::string("finish failed")) + "\n");
      giveBack(0);
    }
    break;
  }
  // A finish takes milliseconds; only the last one keeps its copy while it runs,
  // so that memory stays small however far behind a slow disk falls. An older
  // one is left to its finish alone.
  while (unconfirmed_.size() > (writer_ != nullptr ? 2u : 1u)) {
    unconfirmed_.pop_front();
  }
}

void SegmentWriter::retry() {
  lastAttempt_ = clock_;
  while (!held_.empty()) {
    Chunk chunk = std::move(held_.front());
    held_.pop_front();
    heldFrames_ -= chunk.frames;
    if (!write(std::move(chunk))) {
      return;  // held again, in order
    }
  }
  failing_ = false;
  char line[160];
  std::snprintf(line, sizeof line, " writer resumed: %.1f s held, %.1f s dropped\n",
                outageHeld_ - outageDropped_, outageDropped_);
  writeStandardError("Velkin " + label_ + line);
}

}  // namespace velkin
