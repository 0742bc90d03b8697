#pragma once

// What the transcribing parent needs of a speech engine, so that another
// engine can take PocketSphinx's place.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velkin::transcribe {

// The sample rate every recogniser is handed.
constexpr int kRecogniserRate = 16000;

class Recogniser {
 public:
  virtual ~Recogniser() = default;

  // The words heard in one stretch of 16 kHz mono audio, separated by single
  // spaces; empty when it holds no speech; nothing when the engine failed.
  [[nodiscard]] virtual std::optional<std::string> transcribe(std::span<const int16_t> samples) = 0;
};

}  // namespace velkin::transcribe
