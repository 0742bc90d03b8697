#pragma once

namespace velkin {

// Ends the process at once with `status`. Standard I/O is flushed first, but no
// static destructor runs: other threads (delivery queues, the audio client) may
// still be working, and must not meet objects torn down under them.
[[noreturn]] void exitProcess(int status);

}  // namespace velkin
