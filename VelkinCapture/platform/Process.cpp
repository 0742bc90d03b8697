#include "platform/Process.hpp"

#include <cstdio>
#include <cstdlib>

namespace velkin {

void exitProcess(int status) {
  (void)std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace velkin
