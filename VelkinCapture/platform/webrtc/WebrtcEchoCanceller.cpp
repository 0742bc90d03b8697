#include "platform/webrtc/WebrtcEchoCanceller.hpp"

namespace velkin {

namespace {

class WebrtcEchoCancellerService final : public EchoCancellerService {
 public:
  Result<std::unique_ptr<EchoCanceller>> makeEchoCanceller(int, uint32_t, uint32_t) override {
    return Error{"Velkin", 1, "the canceller is not built yet"};
  }
};

}  // namespace

std::unique_ptr<EchoCancellerService> makeWebrtcEchoCancellerService() {
  return std::make_unique<WebrtcEchoCancellerService>();
}

}  // namespace velkin
