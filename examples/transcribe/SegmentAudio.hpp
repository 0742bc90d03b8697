#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velkin::transcribe {

// A segment file (any rate and channel count libsndfile reads) as mono 16-bit
// samples at `rate`: the channels averaged, then resampled. Nothing, with
// `error` set, when it cannot be read or converted.
std::optional<std::vector<int16_t>> readMono(const std::filesystem::path& file, int rate,
                                             std::string& error);

}  // namespace velkin::transcribe
