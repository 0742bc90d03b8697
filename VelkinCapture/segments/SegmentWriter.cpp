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

// Creates the empty ready marker; false when it could not. Whatever stands at
// the name goes first, and the marker is a new file or nothing: a hard link
// planted there keeps its target's contents, a symbolic link is not followed,
// and a FIFO can neither block the finishing thread nor pass for the marker.
bool createReadyMarker(const std::filesystem::path& marker) {
  if (::unlink(marker.c_str()) != 0 && errno != ENOENT) {
    return false;
  }
  int fd = -1;
  do {
    fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
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

}  // namespace

SegmentWriter::SegmentWriter(std::string label, std::filesystem::path directory,
                             MediaWriterService& media, std::shared_ptr<FinishTracker> finishes,
                             double seconds, double holdSeconds)
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
  // Copied value by value: the borrowed bytes need not be aligned for their type.
  for (std::size_t i = 0; i < count; ++i) {
    switch (audio->format) {
      case SampleFormat::float32: {
        float x;
        std::memcpy(&x, data + i * sizeof x, sizeof x);
        chunk.samples[i] = toInt16(x);
        break;
      }
      case SampleFormat::int16:
        std::memcpy(&chunk.samples[i], data + i * 2, 2);
        break;
      case SampleFormat::int32: {
        int32_t x;
        std::memcpy(&x, data + i * sizeof x, sizeof x);
        chunk.samples[i] = static_cast<int16_t>(x >> 16);
        break;
      }
    }
  }
  clock_ =
      chunk.pts.isNumeric() ? chunk.pts.seconds() : clock_ + secondsOf(chunk.frames, chunk.rate);
  lastAttempt_ = std::min(lastAttempt_, clock_);  // a timeline that starts again

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

void SegmentWriter::stop() {
  checkFinishes();
  if (failing_) {
    retry();  // the last chance for what is held
  }
  finish();
}

bool SegmentWriter::write(Chunk chunk) {
  if (writer_ != nullptr) {
    const AudioStreamDescription* open = format_.streamBasicDescription();
    // NaN (an invalid time on either side) compares false and never rotates;
    // a time before the start is negative and stays in the open segment.
    const double elapsed = start_ ? (chunk.pts - *start_).seconds() : 0;
    if (open->sampleRate != chunk.rate || open->channelsPerFrame != chunk.channels ||
        elapsed >= seconds_) {
      finish();
    }
  }
  if (writer_ == nullptr) {
    if (std::optional<std::string> failure = begin(chunk)) {
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

std::optional<std::string> SegmentWriter::begin(const Chunk& first) {
  // Numbered before anything can fail, so a failed attempt's number is never reused.
  ++counter_;
  const std::filesystem::path url = directory_ / segmentFileName(label_, counter_);

  // A marker left by an earlier run would vouch for the file about to be
  // rewritten, so it goes first; if it cannot go, the name is not reused.
  const std::filesystem::path marker = readyMarkerPath(url);
  std::error_code removal;
  std::filesystem::remove(marker, removal);
  if (removal && removal != std::errc::not_a_directory) {  // nothing there either way
    return "Velkin writer error: " + posixError(removal.value(), marker.string()).description() +
           "\n";
  }
  std::filesystem::remove(url, removal);  // a leftover the writer cannot replace is its own error

  Result<std::shared_ptr<MediaWriter>> made =
      media_.makeWriter(url, MediaFileType::coreAudioFormat);
  if (!made) {
    return "Velkin writer error: " + made.error().description() + "\n";
  }
  std::shared_ptr<MediaWriter> writer = std::move(made.value());
  // A failed attempt leaves an empty file that will never be marked.
  const auto failed = [&](const std::string& what) {
    writer.reset();
    std::filesystem::remove(url, removal);
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
  unconfirmed_.push_back({std::make_shared<std::atomic<Fate>>(Fate::pending), writer_, {}});
  return std::nullopt;
}

void SegmentWriter::finish() {
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

  input->markAsFinished();
  std::filesystem::path url = writer->outputURL();

  if (finishes_ != nullptr) {
    finishes_->started();
  }
  // Runs once on the media writer's finishing thread, possibly while this
  // writer's next segment is being written; it touches none of this class's
  // fields, only what it captured. A segment whose audio went back to the hold
  // is removed here; one that failed, by the writer once its audio is back.
  writer->finishWriting([writer, url = std::move(url), fate, finishes = finishes_] {
    Fate expected = Fate::pending;
    if (writer->status() == MediaWriterStatus::completed &&
        fate->compare_exchange_strong(expected, Fate::completed)) {
      if (!createReadyMarker(readyMarkerPath(url))) {
        fate->store(Fate::failed);
      }
    } else if (expected != Fate::pending ||
               !fate->compare_exchange_strong(expected, Fate::failed)) {
      // Abandoned: its audio is back in the hold already.
      std::error_code ignored;
      std::filesystem::remove(url, ignored);
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

void SegmentWriter::hold(Chunk chunk, bool atFront) {
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
  // Full: the oldest audio goes, and is counted.
  while (!held_.empty() && secondsOf(heldFrames_, held_.front().rate) > holdSeconds_) {
    drop(held_.front());
    heldFrames_ -= held_.front().frames;
    held_.pop_front();
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
  // go, and their audio goes back to the front of the hold. One that completed
  // meanwhile is kept, and what came before it cannot be placed after it: lost.
  std::size_t keptUpTo = first;  // entries before this are settled
  for (std::size_t j = first; j < unconfirmed_.size(); ++j) {
    Fate expected = Fate::pending;
    if (!unconfirmed_[j].fate->compare_exchange_strong(expected, Fate::abandoned)) {
      if (expected == Fate::completed) {
        keptUpTo = j + 1;
      } else {  // failed: its finish is over, and its file holds nothing that counts
        std::error_code ignored;
        std::filesystem::remove(unconfirmed_[j].writer->outputURL(), ignored);
      }
    }
  }
  if (writer_ != nullptr && keptUpTo < unconfirmed_.size()) {
    finish();  // the open segment, now abandoned
  }
  for (std::size_t j = first; j < keptUpTo; ++j) {
    if (unconfirmed_[j].fate->load() != Fate::completed) {
      for (Chunk& chunk : unconfirmed_[j].audio) {
        drop(chunk);
      }
    }
  }
  for (std::size_t j = unconfirmed_.size(); j-- > keptUpTo;) {
    for (auto chunk = unconfirmed_[j].audio.rbegin(); chunk != unconfirmed_[j].audio.rend();
         ++chunk) {
      hold(std::move(*chunk), true);
    }
  }
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
      const std::optional<Error> error = unconfirmed_.front().writer->error();
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
