#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/Capture.hpp"

namespace velkin {

// The desktop's size as the kernel's display drivers report it: the first mode of
// the first connected connector under `root` (normally /sys/class/drm), taking
// connectors in natural name order ("card0-DP-2" before "card0-DP-10"). 0x0 when
// no connected connector reports a mode, or the tree cannot be read (a headless
// machine, a container).
Display firstConnectedDrmDisplay(const std::filesystem::path& root = "/sys/class/drm");

// One line of a connector's `modes` file, "1920x1080" possibly followed by a
// suffix such as "i"; nothing for anything else.
std::optional<Display> parseDrmMode(std::string_view line);

}  // namespace velkin
