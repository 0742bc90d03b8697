// Placeholder until the libsndfile writer lands.
#include "platform/sndfile/SndfileMediaWriter.hpp"

namespace velkin {
std::unique_ptr<MediaWriterService> makeSndfileMediaWriterService() {
  return nullptr;
}
}  // namespace velkin
