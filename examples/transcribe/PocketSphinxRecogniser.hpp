#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "Recogniser.hpp"

struct cmd_ln_s;
struct ps_decoder_s;

namespace velkin::transcribe {

// PocketSphinx with a model directory laid out as Debian's pocketsphinx-en-us
// lays out its own: the acoustic model in en-us/, en-us.lm.bin and
// cmudict-en-us.dict beside it.
class PocketSphinxRecogniser final : public Recogniser {
 public:
  // Nothing, with `error` set, when the model cannot be loaded.
  static std::unique_ptr<PocketSphinxRecogniser> create(const std::filesystem::path& model,
                                                        std::string& error);
  ~PocketSphinxRecogniser() override;
  PocketSphinxRecogniser(const PocketSphinxRecogniser&) = delete;
  PocketSphinxRecogniser& operator=(const PocketSphinxRecogniser&) = delete;

  std::optional<std::string> transcribe(std::span<const int16_t> samples) override;

 private:
  PocketSphinxRecogniser(cmd_ln_s* config, ps_decoder_s* decoder)
      : config_(config), decoder_(decoder) {}

  cmd_ln_s* config_;
  ps_decoder_s* decoder_;
};

}  // namespace velkin::transcribe
