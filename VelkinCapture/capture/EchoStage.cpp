#include "capture/EchoStage.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velkin {

namespace {

// The far end held at most: what a near end stalled this long behind it could
// still use. Older far-end audio is dropped; the near end then has silence.
constexpr int64_t kMaxFarSeconds = 10;

// The audio of `sample` when it is usable at `rate` with `channels`; why not, else.
std::optional<std::string> unusable(const SampleBuffer& sample, int rate, uint32_t channels) {
  const FormatDescription* format = sample.formatDescription();
  const AudioStreamDescription* audio = format ? format->streamBasicDescription() : nullptr;
  if (audio == nullptr) {
    return "the audio has no format";
  }
  if (audio->sampleRate != rate || audio->channelsPerFrame != channels) {
    return "the audio came at " + std::to_string(std::lround(audio->sampleRate)) + " Hz with " +
           std::to_string(audio->channelsPerFrame) + " channels, not " + std::to_string(rate) +
           " Hz with " + std::to_string(channels);
  }
  return std::nullopt;
}

// Appends the sample's audio to `into` as floats in [-1, 1].
void appendFloats(const SampleBuffer& sample, std::vector<float>& into) {
  const AudioStreamDescription& audio = *sample.formatDescription()->streamBasicDescription();
  const size_t count = size_t(sample.frameCount()) * audio.channelsPerFrame;
  const std::byte* data = sample.data().data();
  const size_t first = into.size();
  into.resize(first + count);
  float* out = into.data() + first;
  // Copied value by value: the borrowed bytes need not be aligned for their type.
  switch (audio.format) {
    case SampleFormat::float32:
      std::memcpy(out, data, count * sizeof(float));
      break;
    case SampleFormat::int16:
      for (size_t i = 0; i < count; ++i) {
        int16_t x;
        std::memcpy(&x, data + i * sizeof x, sizeof x);
        out[i] = float(x) / 32768.0f;
      }
      break;
    case SampleFormat::int32:
      for (size_t i = 0; i < count; ++i) {
        int32_t x;
        std::memcpy(&x, data + i * sizeof x, sizeof x);
        out[i] = float(double(x) / 2147483648.0);
      }
      break;
  }
}

// The timeline frame of the sample's first frame; `next` when it has no time.
int64_t positionOf(const SampleBuffer& sample, int rate, int64_t next) {
  const MediaTime pts = sample.presentationTimeStamp();
  return pts.isNumeric() ? std::llround(pts.seconds() * rate) : next;
}

}  // namespace

EchoStage::EchoStage(std::unique_ptr<EchoCanceller> canceller, int sampleRate,
                     uint32_t nearChannels, uint32_t farChannels, int64_t maxWait)
    : rate_(sampleRate),
      nearChannels_(nearChannels),
      farChannels_(farChannels),
      maxWait_(maxWait),
      chunk_(canceller->framesPerChunk()),
      latency_(canceller->latencyFrames()),
      outputFormat_(
          AudioStreamDescription{double(sampleRate), nearChannels, SampleFormat::float32}),
      canceller_(std::move(canceller)) {}

bool EchoStage::addFarEnd(const SampleBuffer& sample) {
  if (!sample.dataIsReady() || sample.frameCount() == 0) {
    return false;
  }
  std::lock_guard guard(farLock_);
  if (farRefused_ || farOff_) {
    return false;
  }
  if (auto why = unusable(sample, rate_, farChannels_)) {
    farRefused_ = "the call audio cannot be used: " + *why;
    far_.samples.clear();
    // The near end learns of it on its next pump.
    const bool ask = nearWaiting_ && !pumpDue_;
    pumpDue_ = pumpDue_ || ask;
    return ask;
  }
  const int64_t held = int64_t(far_.samples.size() / farChannels_);
  const int64_t end = far_.start + held;
  int64_t position = positionOf(sample, rate_, end);
  if (held == 0 || position < far_.start || position - end > kMaxFarSeconds * rate_) {
    far_.samples.clear();
    far_.start = position;
  } else if (position > end) {
    // A hole in the call audio: the reference is the silence the track records.
    far_.samples.resize(size_t(position - far_.start) * farChannels_);
  }
  const size_t before = far_.samples.size();
  appendFloats(sample, far_.samples);
  // Audio over a stretch already held (a timeline that stepped back) keeps the
  // first that came, as the track's file does.
  const int64_t overlap = far_.start + int64_t(before / farChannels_) - position;
  if (overlap > 0) {
    const size_t drop = std::min(size_t(overlap) * farChannels_, far_.samples.size() - before);
    far_.samples.erase(far_.samples.begin() + std::ptrdiff_t(before),
                       far_.samples.begin() + std::ptrdiff_t(before + drop));
  }
  const int64_t excess = int64_t(far_.samples.size() / farChannels_) - kMaxFarSeconds * rate_;
  if (excess > 0) {
    far_.samples.erase(far_.samples.begin(),
                       far_.samples.begin() + std::ptrdiff_t(size_t(excess) * farChannels_));
    far_.start += excess;
  }
  const bool ask = nearWaiting_ && !pumpDue_;
  pumpDue_ = pumpDue_ || ask;
  return ask;
}

void EchoStage::addNearEnd(const SampleBuffer& sample, int64_t now, const Output& out) {
  if (!canceller_) {
    out(sample);
    return;
  }
  if (!sample.dataIsReady() || sample.frameCount() == 0) {
    return;
  }
  if (auto why = unusable(sample, rate_, nearChannels_)) {
    turnOff("the microphone's audio cannot be used: " + *why, out);
    out(sample);
    return;
  }
  const int64_t end = near_.start + int64_t(near_.samples.size() / nearChannels_);
  const int64_t position = positionOf(sample, rate_, end);
  if (position != end) {
    // A hole or a step back in the microphone's audio: what is held ends there.
    process(true, now, out);
    near_.samples.clear();
    arrivals_.clear();
  }
  if (near_.samples.empty()) {
    near_.start = position;
  }
  appendFloats(sample, near_.samples);
  arrivals_.emplace_back(position + sample.frameCount(), now);
  process(false, now, out);
}

void EchoStage::pump(int64_t now, const Output& out) {
  {
    std::lock_guard guard(farLock_);
    pumpDue_ = false;
  }
  if (canceller_) {
    process(false, now, out);
  }
}

void EchoStage::finish(const Output& out) {
  if (canceller_) {
    process(true, 0, out);
  }
}

std::optional<int64_t> EchoStage::waitsUntil() const {
  if (!canceller_ || near_.samples.size() < size_t(chunk_) * nearChannels_) {
    return std::nullopt;
  }
  // The piece that holds the oldest whole chunk's last frame.
  const int64_t last = near_.start + chunk_ - 1;
  for (const auto& [end, arrived] : arrivals_) {
    if (end > last) {
      return arrived + maxWait_;
    }
  }
  return std::nullopt;
}

std::optional<std::string> EchoStage::takeOffReason() {
  return std::exchange(offReason_, std::nullopt);
}

void EchoStage::process(bool final, int64_t now, const Output& out) {
  {
    std::lock_guard guard(farLock_);
    if (farRefused_) {
      std::string reason = *farRefused_;
      farRefused_.reset();
      turnOff(std::move(reason), out);
      return;
    }
  }
  const size_t chunkSamples = size_t(chunk_) * nearChannels_;
  if (fed_.samples.empty() && outBatch_.empty()) {
    // A run begins: the canceller's first frames are its own.
    fed_.start = near_.start;
    late_ = latency_;
  }
  size_t done = 0;  // samples of near_ through the canceller
  std::vector<float> chunk;
  while (done < near_.samples.size()) {
    const int64_t position = near_.start + int64_t(done / nearChannels_);
    const bool whole = near_.samples.size() - done >= chunkSamples;
    if (!whole && !final) {
      break;
    }
    // A far end still missing once this chunk has waited long enough has
    // stalled: the near end goes on without it.
    while (!arrivals_.empty() && arrivals_.front().first < position + chunk_) {
      arrivals_.pop_front();
    }
    const bool stalled = !arrivals_.empty() && now - arrivals_.front().second >= maxWait_;
    if (!takeFarEnd(position, chunk_, final || stalled, farChunk_)) {
      break;
    }
    const size_t count = std::min(chunkSamples, near_.samples.size() - done);
    chunk.assign(near_.samples.begin() + std::ptrdiff_t(done),
                 near_.samples.begin() + std::ptrdiff_t(done + count));
    fed_.samples.insert(fed_.samples.end(), chunk.begin(), chunk.end());
    chunk.resize(chunkSamples, 0.0f);  // the last frames of a run, padded
    done += count;
    if (!cancel(chunk, out)) {
      return;
    }
  }
  near_.samples.erase(near_.samples.begin(), near_.samples.begin() + std::ptrdiff_t(done));
  near_.start += int64_t(done / nearChannels_);
  // At the end of a run, what the canceller still holds of it is pushed out
  // with silence.
  while (final && near_.samples.empty() && outBatch_.size() < fed_.samples.size()) {
    farChunk_.assign(size_t(chunk_) * farChannels_, 0.0f);
    chunk.assign(chunkSamples, 0.0f);
    if (!cancel(chunk, out)) {
      return;
    }
  }
  if (!outBatch_.empty()) {
    emit(fed_.start, outBatch_, out);
    fed_.samples.erase(fed_.samples.begin(),
                       fed_.samples.begin() + std::ptrdiff_t(outBatch_.size()));
    fed_.start += int64_t(outBatch_.size() / nearChannels_);
    outBatch_.clear();
  }
  std::lock_guard guard(farLock_);
  nearWaiting_ = !near_.samples.empty();
}

bool EchoStage::cancel(std::vector<float>& chunk, const Output& out) {
  if (auto failed = canceller_->process(farChunk_, chunk)) {
    // What is held goes out as the microphone heard it.
    turnOff("the canceller failed: " + failed->localizedDescription(), out);
    return false;
  }
  const int64_t own = std::min(late_, chunk_);
  late_ -= own;
  // Never more than was fed: the rest of a padded chunk is no frame of the call.
  const size_t owed = fed_.samples.size() - outBatch_.size();
  const size_t from = size_t(own) * nearChannels_;
  const size_t take = std::min(chunk.size() - from, owed);
  outBatch_.insert(outBatch_.end(), chunk.begin() + std::ptrdiff_t(from),
                   chunk.begin() + std::ptrdiff_t(from + take));
  return true;
}

bool EchoStage::takeFarEnd(int64_t position, int64_t frames, bool force, std::vector<float>& into) {
  std::lock_guard guard(farLock_);
  const int64_t held = int64_t(far_.samples.size() / farChannels_);
  const int64_t end = far_.start + held;
  if (end < position + frames && !force) {
    return false;
  }
  into.assign(size_t(frames) * farChannels_, 0.0f);
  const int64_t from = std::max(position, far_.start);
  const int64_t to = std::min(position + frames, end);
  if (to > from) {
    std::copy(far_.samples.begin() + std::ptrdiff_t(size_t(from - far_.start) * farChannels_),
              far_.samples.begin() + std::ptrdiff_t(size_t(to - far_.start) * farChannels_),
              into.begin() + std::ptrdiff_t(size_t(from - position) * farChannels_));
  }
  // The far end before this frame's end is of no more use.
  const int64_t used = std::clamp<int64_t>(position + frames - far_.start, 0, held);
  far_.samples.erase(far_.samples.begin(),
                     far_.samples.begin() + std::ptrdiff_t(size_t(used) * farChannels_));
  far_.start += used;
  return true;
}

void EchoStage::turnOff(std::string reason, const Output& out) {
  canceller_.reset();
  offReason_ = std::move(reason);
  // Everything whose cancelled form has not gone out goes as it came, in order.
  outBatch_.clear();
  if (!fed_.samples.empty()) {
    emit(fed_.start, fed_.samples, out);
    fed_.samples.clear();
  }
  if (!near_.samples.empty()) {
    emit(near_.start, near_.samples, out);
    near_.samples.clear();
  }
  arrivals_.clear();
  std::lock_guard guard(farLock_);
  farOff_ = true;
  nearWaiting_ = false;
  far_.samples.clear();
}

void EchoStage::emit(int64_t position, const std::vector<float>& samples, const Output& out) const {
  const SampleBuffer sample(true, MediaTime::make(position, rate_), &outputFormat_,
                            std::as_bytes(std::span(samples)));
  out(sample);
}

}  // namespace velkin
