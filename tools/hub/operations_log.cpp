// SPDX-License-Identifier: MIT
#include "operations_log.h"

#include <unistd.h>

namespace tivaxhub {

void logMessage(const std::string& message) {
  // One write per line, so that lines of concurrent requests never mix.
  const std::string line = "tivax-hub: " + message + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace tivaxhub
