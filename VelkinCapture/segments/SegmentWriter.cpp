#include "segments/SegmentWriter.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <utility>

#include "platform/Console.hpp"
#include "segments/SegmentFiles.hpp"

namespace velkin {

namespace {

// Creates the empty ready marker. A failure leaves the segment unmarked, which
// is all a consumer needs to know; there is nobody to tell. A link planted at
// the name is not followed.
void createReadyMarker(const std::filesystem::path& marker) {
  const int fd =
      ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ::close(fd);
  }
}

}  // namespace

SegmentWriter::SegmentWriter(std::string label, std::filesystem::path directory,
                             MediaWriterService& media, std::shared_ptr<FinishTracker> finishes,
                             double seconds)
    : label_(std::move(label)),
      directory_(std::move(directory)),
      seconds_(seconds),
      media_(media),
      finishes_(std::move(finishes)) {}

void SegmentWriter::append(const SampleBuffer& sample) {
  if (!sample.dataIsReady()) {
    return;
  }
  const FormatDescription* format = sample.formatDescription();
  if (format == nullptr) {
    return;
  }
  const MediaTime pts = sample.presentationTimeStamp();

  if (writer_ == nullptr) {
    begin(*format, pts);
  } else if (writer_->status() == MediaWriterStatus::failed) {
    // A segment whose writing failed (a full disk) takes no more audio. Waiting
    // for its length to run out would lose everything until then, also once
    // there is room again: close it unmarked and start the next with this sample.
    finish();
    begin(*format, pts);
  } else if (start_) {
    // NaN (an invalid time on either side) compares false and never rotates;
    // a time before the start is negative and stays in the open segment.
    const double elapsed = (pts - *start_).seconds();
    if (elapsed >= seconds_) {
      finish();
      begin(*format, pts);
    }
  }

  if (input_ != nullptr && input_->isReadyForMoreMediaData() && !input_->append(sample) &&
      !failureReported_) {
    // A segment that stops taking audio (a full disk) loses everything until the
    // next rotation; say so once, rather than letting the gap pass in silence.
    failureReported_ = true;
    const std::optional<Error> error = writer_->error();
    writeStandardError("Velkin " + label_ + " writer error: " +
                       (error ? error->localizedDescription() : std::string("append failed")) +
                       "\n");
  }
}

void SegmentWriter::stop() {
  finish();
}

void SegmentWriter::begin(const FormatDescription& format, MediaTime at) {
  // Numbered before anything can fail, so a failed attempt's number is never reused.
  ++counter_;
  const std::filesystem::path url = directory_ / segmentFileName(label_, counter_);

  // A marker left by an earlier run would vouch for the file about to be
  // rewritten, so it goes first; if it cannot go, the name is not reused.
  const std::filesystem::path marker = readyMarkerPath(url);
  std::error_code removal;
  std::filesystem::remove(marker, removal);
  if (removal && removal != std::errc::not_a_directory) {  // nothing there either way
    writeStandardError("Velkin writer error: " +
                       posixError(removal.value(), marker.string()).description() + "\n");
    return;
  }
  std::filesystem::remove(url, removal);  // a leftover the writer cannot replace is its own error

  Result<std::shared_ptr<MediaWriter>> made =
      media_.makeWriter(url, MediaFileType::coreAudioFormat);
  if (!made) {
    writeStandardError("Velkin writer error: " + made.error().description() + "\n");
    return;
  }
  std::shared_ptr<MediaWriter> writer = std::move(made.value());

  const AudioStreamDescription* audio = format.streamBasicDescription();
  if (audio == nullptr) {
    writeStandardError("Velkin " + label_ + " writer error: missing audio stream description\n");
    return;
  }

  AudioOutputSettings settings;
  settings.formatID = kAudioFormatLinearPCM;
  settings.sampleRate = audio->sampleRate;
  settings.numberOfChannels = static_cast<int64_t>(audio->channelsPerFrame);
  settings.linearPCMBitDepth = 16;
  settings.linearPCMIsFloat = false;
  settings.linearPCMIsBigEndian = false;
  settings.linearPCMIsNonInterleaved = false;

  std::shared_ptr<MediaWriterInput> input = media_.makeAudioInput(settings, &format);
  if (input != nullptr) {
    input->setExpectsMediaDataInRealTime(true);
  }
  if (input == nullptr || !writer->canAddInput(*input)) {
    writeStandardError("Velkin " + label_ + " writer error: input format is not supported\n");
    return;
  }
  writer->addInput(input);

  if (!writer->startWriting()) {
    const std::optional<Error> error = writer->error();
    writeStandardError(
        "Velkin " + label_ + " writer error: " +
        (error ? error->localizedDescription() : std::string("startWriting failed")) + "\n");
    return;
  }
  writer->startSessionAtSourceTime(at);

  writer_ = std::move(writer);
  input_ = std::move(input);
  start_ = at;
  failureReported_ = false;
}

void SegmentWriter::finish() {
  if (writer_ == nullptr || input_ == nullptr) {
    return;
  }
  // Cleared before any platform call: from here on the segment belongs to its
  // completion, and the next append opens a new one.
  std::shared_ptr<MediaWriter> writer = std::move(writer_);
  writer_.reset();
  std::shared_ptr<MediaWriterInput> input = std::move(input_);
  input_.reset();
  start_.reset();

  input->markAsFinished();
  std::filesystem::path url = writer->outputURL();

  if (finishes_ != nullptr) {
    finishes_->started();
  }
  // Runs once on the media writer's finishing thread, possibly while this
  // writer's next segment is being written; it touches none of this class's
  // fields, only what it captured.
  writer->finishWriting([writer, url = std::move(url), finishes = finishes_] {
    if (writer->status() == MediaWriterStatus::completed) {
      createReadyMarker(readyMarkerPath(url));
    }
    if (finishes != nullptr) {
      finishes->completed();
    }
  });
}

}  // namespace velkin
