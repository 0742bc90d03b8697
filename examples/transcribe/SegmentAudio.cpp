#include "SegmentAudio.hpp"

#include <samplerate.h>
#include <sndfile.h>

#include <memory>

namespace velkin::transcribe {

std::optional<std::vector<int16_t>> readMono(const std::filesystem::path& file, int rate,
                                             std::string& error) {
  SF_INFO info{};
  const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> sound(sf_open(file.c_str(), SFM_READ, &info),
                                                          sf_close);
  if (!sound) {
    error = file.string() + ": " + sf_strerror(nullptr);
    return std::nullopt;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    error = file.string() + ": no audio";
    return std::nullopt;
  }
  const auto channels = static_cast<size_t>(info.channels);
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * channels);
  const sf_count_t frames = sf_readf_float(sound.get(), interleaved.data(), info.frames);
  std::vector<float> mono(static_cast<size_t>(std::max<sf_count_t>(frames, 0)));
  for (size_t frame = 0; frame < mono.size(); ++frame) {
    float sum = 0;
    for (size_t channel = 0; channel < channels; ++channel) {
      sum += interleaved[frame * channels + channel];
    }
    mono[frame] = sum / static_cast<float>(channels);
  }

  const double ratio = static_cast<double>(rate) / info.samplerate;
  std::vector<float> resampled(static_cast<size_t>(static_cast<double>(mono.size()) * ratio) + 1);
  SRC_DATA conversion{};
  conversion.data_in = mono.data();
  conversion.input_frames = static_cast<long>(mono.size());
  conversion.data_out = resampled.data();
  conversion.output_frames = static_cast<long>(resampled.size());
  conversion.src_ratio = ratio;
  if (!mono.empty()) {
    if (const int failed = src_simple(&conversion, SRC_SINC_MEDIUM_QUALITY, 1); failed != 0) {
      error = file.string() + ": " + src_strerror(failed);
      return std::nullopt;
    }
  }
  std::vector<int16_t> samples(static_cast<size_t>(conversion.output_frames_gen));
  src_float_to_short_array(resampled.data(), samples.data(), static_cast<int>(samples.size()));
  return samples;
}

}  // namespace velkin::transcribe
