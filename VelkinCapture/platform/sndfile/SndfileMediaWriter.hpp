#pragma once

#include <memory>

#include "platform/MediaWriter.hpp"

namespace velkin {

// The media file writer on libsndfile: CAF files of 16-bit little-endian PCM.
std::unique_ptr<MediaWriterService> makeSndfileMediaWriterService();

}  // namespace velkin
