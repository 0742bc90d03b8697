#pragma once

#include <filesystem>
#include <string_view>

namespace velkin {

// Replaces the file at `location` with exactly `text`, atomically: a reader sees
// the old file (or none) or the whole new content, never a part. Failures are
// deliberately ignored: the parent has no use for a half-written control file,
// and the agent has nowhere better to report it.
void writeControlFile(std::string_view text, const std::filesystem::path& location);

// True when any directory entry exists at `location` (file, directory, even a
// dangling link); an entry that cannot be seen counts as absent.
bool entryExists(const std::filesystem::path& location);

}  // namespace velkin
