#pragma once

#include <memory>

#include "platform/Application.hpp"
#include "platform/Capture.hpp"
#include "platform/EchoCanceller.hpp"
#include "platform/MediaWriter.hpp"
#include "platform/Permissions.hpp"

namespace velkin {

// The host services the agent uses, from one backend. Lives as long as the
// process's controller and everything it made.
class Host {
 public:
  virtual ~Host() = default;

  virtual PermissionService& permissions() = 0;
  virtual ApplicationService& application() = 0;
  virtual CaptureService& capture() = 0;
  virtual MediaWriterService& mediaWriter() = 0;
  virtual EchoCancellerService& echoCanceller() = 0;
};

// The one place that picks this build's backend.
std::unique_ptr<Host> makeHost();

}  // namespace velkin
