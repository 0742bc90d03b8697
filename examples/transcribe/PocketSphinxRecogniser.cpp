#include "PocketSphinxRecogniser.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <sstream>

namespace velkin::transcribe {

std::unique_ptr<PocketSphinxRecogniser> PocketSphinxRecogniser::create(
    const std::filesystem::path& model, std::string& error) {
  const std::filesystem::path acoustic = model / "en-us";
  const std::filesystem::path language = model / "en-us.lm.bin";
  const std::filesystem::path dictionary = model / "cmudict-en-us.dict";
  for (const auto& path : {acoustic, language, dictionary}) {
    std::error_code missing;
    if (!std::filesystem::exists(path, missing)) {
      error = "no PocketSphinx model at " + path.string();
      return nullptr;
    }
  }
  // Its progress log would drown the transcript.
  err_set_logfp(nullptr);
  cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", acoustic.c_str(), "-lm",
                                 language.c_str(), "-dict", dictionary.c_str(), nullptr);
  if (config == nullptr) {
    error = "PocketSphinx refused its configuration";
    return nullptr;
  }
  ps_decoder_t* decoder = ps_init(config);
  if (decoder == nullptr) {
    cmd_ln_free_r(config);
    error = "PocketSphinx could not load the model in " + model.string();
    return nullptr;
  }
  return std::unique_ptr<PocketSphinxRecogniser>(new PocketSphinxRecogniser(config, decoder));
}

PocketSphinxRecogniser::~PocketSphinxRecogniser() {
  ps_free(decoder_);
  cmd_ln_free_r(config_);
}

std::optional<std::string> PocketSphinxRecogniser::transcribe(std::span<const int16_t> samples) {
  if (ps_start_utt(decoder_) < 0) {
    return std::nullopt;
  }
  // One utterance per segment, fed as a stream: normalising over the whole
  // segment at once recognised synthetic speech no better, and often worse.
  const int processed = ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE);
  if (ps_end_utt(decoder_) < 0 || processed < 0) {
    return std::nullopt;
  }
  int32 score = 0;
  const char* hypothesis = ps_get_hyp(decoder_, &score);
  if (hypothesis == nullptr) {
    return std::string();
  }
  // Collapse whatever spacing the decoder left.
  std::istringstream words(hypothesis);
  std::string text;
  for (std::string word; words >> word;) {
    text += text.empty() ? "" : " ";
    text += word;
  }
  return text;
}

}  // namespace velkin::transcribe
