#pragma once

#include <memory>

#include "platform/Application.hpp"
#include "platform/Permissions.hpp"

namespace velkin {

// A Linux desktop has no privacy prompts for screen or microphone capture and
// no application activation: access is allowed, activation changes nothing.
std::unique_ptr<PermissionService> makeLinuxPermissionService();
std::unique_ptr<ApplicationService> makeLinuxApplicationService();

}  // namespace velkin
