#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace velkin {

// Replaces the file at `location` with exactly `text`, atomically: a reader sees
// the old file (or none) or the whole new content, never a part. A failure
// leaves the earlier state and is returned (the errno value): only the pid
// file's matters, since a control directory that cannot hold it cannot tell
// the parent anything.
[[nodiscard]] std::error_code writeControlFile(std::string_view text,
                                               const std::filesystem::path& location);

// True when any directory entry exists at `location` (file, directory, even a
// dangling link); an entry that cannot be seen counts as absent.
bool entryExists(const std::filesystem::path& location);

}  // namespace velkin
