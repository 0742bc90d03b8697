#pragma once

#include <string_view>
#include <system_error>

#include "platform/Directory.hpp"

namespace velkin {

// Replaces the file `name` in `directory` with exactly `text`, atomically, with
// mode 0644: a reader sees
// the old file (or none) or the whole new content, never a part. A failure
// leaves the earlier state and is returned (the errno value): only the pid
// file's matters, since a control directory that cannot hold it cannot tell
// the parent anything.
[[nodiscard]] std::error_code writeControlFile(std::string_view text, const Directory& directory,
                                               std::string_view name);

// True when any entry named `name` exists in `directory` (file, directory, even
// a dangling link); an entry that cannot be seen counts as absent.
bool entryExists(const Directory& directory, std::string_view name);

}  // namespace velkin
