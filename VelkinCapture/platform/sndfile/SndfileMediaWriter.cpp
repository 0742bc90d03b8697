#include "platform/sndfile/SndfileMediaWriter.hpp"

#include "platform/sndfile/FinishThread.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velkin {

namespace {

constexpr int kMaxChannels = 1024;  // libsndfile refuses more
constexpr std::chrono::milliseconds kShutdownBound{100};

// Guards libsndfile's process-wide error state across opens.
std::mutex& openLock() {
  static std::mutex lock;
  return lock;
}

Error sndfileError(int code) {
  return Error{"libsndfile", code, sf_error_number(code)};
}

// What a writer and its input share: the open file and the writer's state.
// File work happens on the writer's user thread until the finish is requested,
// then only on the finishing thread; status and error may be read from anywhere.
class SndfileFile {
 public:
  SndfileFile(Directory directory, std::filesystem::path path, int fd)
      : directory_(std::move(directory)), path_(std::move(path)), fd_(fd) {}
  SndfileFile(const SndfileFile&) = delete;
  SndfileFile& operator=(const SndfileFile&) = delete;

  // A writer dropped without a finish (its owner went away mid-segment) still
  // gives back its descriptor; sf_close leaves a valid header behind.
  ~SndfileFile() {
    if (sound_ != nullptr) {
      (void)flush();
      sf_close(sound_);
    }
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  const std::filesystem::path& path() const { return path_; }

  bool open(const AudioOutputSettings& settings) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(settings.sampleRate);
    info.channels = static_cast<int>(settings.numberOfChannels);
    info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    // libsndfile gets a descriptor of its own, which it closes: it closes the
    // one of a failed open whatever it is told, and by the time this file went,
    // that number could belong to the other track's next segment. Ours stays
    // open, so that the file can be fsynced after the final header is written.
    const int own = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
      fail(posixError(errno, "dup " + path_.string()));
      return false;
    }
    {
      // libsndfile keeps the last open's error in process-wide state, written
      // by every open, failed or not; both tracks open files at once.
      std::lock_guard guard(openLock());
      sound_ = sf_open_fd(own, SFM_WRITE, &info, SF_TRUE);
      if (sound_ == nullptr) {
        fail(Error{"libsndfile", sf_error(nullptr), sf_strerror(nullptr)});
        return false;
      }
    }
    // Out-of-range samples saturate instead of wrapping into loud clicks.
    sf_command(sound_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    headerInterval_ = info.samplerate;
    flushInterval_ = std::max(1, info.samplerate / 10);
    channels_ = info.channels;
    setStatus(MediaWriterStatus::writing);
    return true;
  }

  bool acceptsSamples() const {
    std::lock_guard guard(lock_);
    return status_ == MediaWriterStatus::writing && !finishRequested_;
  }

  // Takes whole frames; false (and the writer failed) when the file could not
  // take them. Small buffers of 16-bit samples are stored up and written a tenth
  // of a second at a time: a write for every buffer cost more than converting
  // it. A buffer that long or longer is written as it comes.
  bool write(SampleFormat format, const void* data, sf_count_t frames) {
    const auto samples = static_cast<std::size_t>(frames * channels_);
    switch (format) {
      case SampleFormat::float32:
        // Through libsndfile's own clipping conversion, after what came before.
        if (!flush()) {
          return false;
        }
        if (sf_writef_float(sound_, static_cast<const float*>(data), frames) != frames) {
          failFromSound();
          return false;
        }
        return written(frames);
      case SampleFormat::int16: {
        const auto* first = static_cast<const int16_t*>(data);
        if (frames >= flushInterval_) {
          if (!flush()) {
            return false;
          }
          if (sf_writef_short(sound_, first, frames) != frames) {
            failFromSound();
            return false;
          }
          return written(frames);
        }
        stored_.insert(stored_.end(), first, first + samples);
        break;
      }
      case SampleFormat::int32: {
        // Through libsndfile's own clipping conversion, after what came before.
        if (!flush()) {
          return false;
        }
        if (sf_writef_int(sound_, static_cast<const int*>(data), frames) != frames) {
          failFromSound();
          return false;
        }
        return written(frames);
      }
    }
    return static_cast<sf_count_t>(stored_.size()) < flushInterval_ * channels_ || flush();
  }

  // Writes the stored samples to the file.
  bool flush() {
    if (stored_.empty()) {
      return true;
    }
    const sf_count_t frames = static_cast<sf_count_t>(stored_.size()) / channels_;
    const sf_count_t done = sf_writef_short(sound_, stored_.data(), frames);
    stored_.clear();
    if (done != frames) {
      failFromSound();
      return false;
    }
    return written(frames);
  }

  // `frames` more frames are in the file.
  bool written(sf_count_t frames) {
    // While the file is open its header claims no frames at all. Rewriting it
    // every second of audio bounds what a crash can cost to that second.
    framesSinceHeader_ += frames;
    if (framesSinceHeader_ >= headerInterval_) {
      framesSinceHeader_ = 0;
      sf_command(sound_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
      if (sf_error(sound_) != SF_ERR_NO_ERROR) {
        failFromSound();
        return false;
      }
    }
    return true;
  }

  // Called on the user thread by finishWriting; no file work follows there.
  void requestFinish() {
    std::lock_guard guard(lock_);
    finishRequested_ = true;
  }

  // Runs on the finishing thread. Completed only when libsndfile has written
  // the final header and the data has reached the disk.
  void finish() {
    const bool wasWriting = status() == MediaWriterStatus::writing;
    if (sound_ != nullptr) {
      if (wasWriting) {
        (void)flush();  // a failure fails the writer
      }
      const int closed = sf_close(sound_);
      sound_ = nullptr;
      if (closed != SF_ERR_NO_ERROR) {
        fail(sndfileError(closed));
      }
    }
    if (fd_ >= 0) {
      if (wasWriting && ::fsync(fd_) != 0) {
        fail(posixError(errno, "fsync " + path_.string()));
      }
      // A failed close can be the first report of a lost write (NFS, quotas).
      if (::close(fd_) != 0 && errno != EINTR) {
        fail(posixError(errno, "close " + path_.string()));
      }
      fd_ = -1;
    }
    if (wasWriting) {
      syncDirectory();
    }
    std::lock_guard guard(lock_);
    if (status_ == MediaWriterStatus::writing) {
      status_ = MediaWriterStatus::completed;
    } else if (status_ == MediaWriterStatus::unknown) {
      status_ = MediaWriterStatus::failed;
      error_ = Error{"libsndfile", 0, "finishWriting called before writing started"};
    }
  }

  MediaWriterStatus status() const {
    std::lock_guard guard(lock_);
    return status_;
  }

  std::optional<Error> error() const {
    std::lock_guard guard(lock_);
    return error_;
  }

  // The first failure is the cause; later ones are its consequences.
  void fail(Error error) {
    std::lock_guard guard(lock_);
    if (status_ != MediaWriterStatus::failed) {
      status_ = MediaWriterStatus::failed;
      error_ = std::move(error);
    }
  }

 private:
  void setStatus(MediaWriterStatus status) {
    std::lock_guard guard(lock_);
    status_ = status;
  }

  void failFromSound() {
    const int code = sf_error(sound_);
    fail(Error{"libsndfile", code, sf_strerror(sound_)});
  }

  // Makes the file's name as durable as its contents, so that a ready marker
  // that survives a power loss never points at nothing. Best effort: some file
  // systems cannot sync a directory, and the data itself is already safe.
  void syncDirectory() const { directory_.sync(); }

  const Directory directory_;  // the one the file was made in, whatever its path names now
  const std::filesystem::path path_;
  int fd_;
  SNDFILE* sound_ = nullptr;
  sf_count_t headerInterval_ = 0;  // frames between header rewrites: one second
  sf_count_t framesSinceHeader_ = 0;
  sf_count_t flushInterval_ = 0;  // frames stored before they are written
  sf_count_t channels_ = 0;
  std::vector<int16_t> stored_;  // samples as stored, not yet written

  mutable std::mutex lock_;  // guards status_, error_ and finishRequested_
  MediaWriterStatus status_ = MediaWriterStatus::unknown;
  std::optional<Error> error_;
  bool finishRequested_ = false;
};

class SndfileInput final : public MediaWriterInput {
 public:
  SndfileInput(AudioOutputSettings settings, std::optional<AudioStreamDescription> source)
      : settings_(settings), source_(source) {}

  // Writes are synchronous and never queue, so there is nothing to tune.
  void setExpectsMediaDataInRealTime(bool) override {}

  bool isReadyForMoreMediaData() const override {
    return file_ != nullptr && !finished_ && file_->acceptsSamples();
  }

  bool append(const SampleBuffer& sample) override {
    if (!isReadyForMoreMediaData()) {
      return false;
    }
    const FormatDescription* format = sample.formatDescription();
    const AudioStreamDescription* audio = format ? format->streamBasicDescription() : nullptr;
    // The bytes can only be read under the layout the input was made for.
    if (audio == nullptr || audio->sampleRate != source_->sampleRate ||
        audio->channelsPerFrame != source_->channelsPerFrame || audio->format != source_->format) {
      file_->fail(Error{"libsndfile", 0, "sample format differs from the input's source format"});
      return false;
    }
    const sf_count_t frames = sample.frameCount();
    if (frames == 0) {
      return true;
    }
    const std::byte* data = sample.data().data();
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(int32_t) != 0) {
      const std::size_t bytes = static_cast<std::size_t>(frames) * audio->bytesPerFrame();
      aligned_.resize((bytes + sizeof(int32_t) - 1) / sizeof(int32_t));
      std::memcpy(aligned_.data(), data, bytes);
      data = reinterpret_cast<const std::byte*>(aligned_.data());
    }
    return file_->write(source_->format, data, frames);
  }

  void markAsFinished() override { finished_ = true; }

  // Stores 16-bit little-endian interleaved integer PCM of what it receives, at
  // the same rate and channel count: this backend neither resamples nor remixes.
  bool isSupported() const {
    const AudioOutputSettings& s = settings_;
    if (s.formatID != kAudioFormatLinearPCM || s.linearPCMBitDepth != 16 || s.linearPCMIsFloat ||
        s.linearPCMIsBigEndian || s.linearPCMIsNonInterleaved) {
      return false;
    }
    if (!(s.sampleRate >= 1 && s.sampleRate <= INT_MAX) ||
        std::floor(s.sampleRate) != s.sampleRate || s.numberOfChannels < 1 ||
        s.numberOfChannels > kMaxChannels) {
      return false;
    }
    if (!source_) {
      return false;
    }
    const bool knownLayout = source_->format == SampleFormat::float32 ||
                             source_->format == SampleFormat::int16 ||
                             source_->format == SampleFormat::int32;
    return knownLayout && source_->sampleRate == s.sampleRate &&
           static_cast<int64_t>(source_->channelsPerFrame) == s.numberOfChannels;
  }

  const AudioOutputSettings& settings() const { return settings_; }
  void attach(std::shared_ptr<SndfileFile> file) { file_ = std::move(file); }
  bool isAttached() const { return file_ != nullptr; }

 private:
  const AudioOutputSettings settings_;
  const std::optional<AudioStreamDescription> source_;
  std::shared_ptr<SndfileFile> file_;
  bool finished_ = false;
  std::vector<int32_t> aligned_;  // scratch for sample data not aligned for its type
};

class SndfileMediaWriter final : public MediaWriter {
 public:
  SndfileMediaWriter(std::shared_ptr<FinishThread> finisher, std::shared_ptr<SndfileFile> file)
      : finisher_(std::move(finisher)), file_(std::move(file)) {}

  bool canAddInput(const MediaWriterInput& input) const override {
    const auto* candidate = dynamic_cast<const SndfileInput*>(&input);
    return candidate != nullptr && input_ == nullptr && !candidate->isAttached() &&
           file_->status() == MediaWriterStatus::unknown && candidate->isSupported();
  }

  void addInput(std::shared_ptr<MediaWriterInput> input) override {
    if (input == nullptr || !canAddInput(*input)) {
      return;
    }
    input_ = std::static_pointer_cast<SndfileInput>(std::move(input));
    input_->attach(file_);
  }

  bool startWriting() override {
    if (file_->status() != MediaWriterStatus::unknown) {
      return false;
    }
    if (input_ == nullptr) {
      file_->fail(Error{"libsndfile", 0, "no input to write"});
      return false;
    }
    return file_->open(input_->settings());
  }

  // A CAF file has no timeline of its own: it starts with its first frame.
  void startSessionAtSourceTime(MediaTime) override {}

  void finishWriting(Completion handler) override {
    file_->requestFinish();
    // The job keeps the file alive until it has run, whatever the writer's
    // owners do meanwhile.
    FinishThread::Job job = [file = file_, handler = std::move(handler)] {
      // Runs on the finishing thread (or, once the service is gone, on the
      // caller's thread).
      file->finish();
      if (handler) {
        handler();
      }
    };
    if (!finisher_->post(job)) {
      // The service has shut down its thread; finishing here is late but whole.
      job();
    }
  }

  MediaWriterStatus status() const override { return file_->status(); }
  std::optional<Error> error() const override { return file_->error(); }
  const std::filesystem::path& outputURL() const override { return file_->path(); }

 private:
  const std::shared_ptr<FinishThread> finisher_;
  const std::shared_ptr<SndfileFile> file_;
  std::shared_ptr<SndfileInput> input_;
};

class SndfileMediaWriterService final : public MediaWriterService {
 public:
  SndfileMediaWriterService() = default;
  SndfileMediaWriterService(const SndfileMediaWriterService&) = delete;
  SndfileMediaWriterService& operator=(const SndfileMediaWriterService&) = delete;

  // Gives the finishes already requested a short while to end; the caller that
  // needs them done waits for them first, with its own bound. One that stalls
  // past this is left running: its segment stays unmarked.
  ~SndfileMediaWriterService() override { finisher_->shutDown(kShutdownBound); }

  Result<std::shared_ptr<MediaWriter>> makeWriter(const Directory& directory,
                                                  const std::string& name, MediaFileType) override {
    // Call audio is private: owner-only, and never through a link someone else
    // planted at the name. The caller clears the name first.
    const std::filesystem::path url = directory.pathOf(name);
    const int fd = directory.openFile(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0) {
      return posixError(errno, url.string());
    }
    auto file = std::make_shared<SndfileFile>(directory, url, fd);
    return std::shared_ptr<MediaWriter>(
        std::make_shared<SndfileMediaWriter>(finisher_, std::move(file)));
  }

  std::shared_ptr<MediaWriterInput> makeAudioInput(
      const AudioOutputSettings& settings, const FormatDescription* sourceFormatHint) override {
    const AudioStreamDescription* source =
        sourceFormatHint ? sourceFormatHint->streamBasicDescription() : nullptr;
    return std::make_shared<SndfileInput>(
        settings, source ? std::optional(*source) : std::optional<AudioStreamDescription>());
  }

 private:
  const std::shared_ptr<FinishThread> finisher_ = std::make_shared<FinishThread>();
};

}  // namespace

std::unique_ptr<MediaWriterService> makeSndfileMediaWriterService() {
  return std::make_unique<SndfileMediaWriterService>();
}

}  // namespace velkin
