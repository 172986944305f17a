// SPDX-License-Identifier: MIT
#include "log/text_format.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace Tivaxlib {
namespace Log {

std::string formatText(const char* format, ...) {
  // Most texts fit the first buffer; otherwise the formatter tells us the
  // length it needs and we format once more into a buffer that size.
  std::vector<char> buffer(256);
  for (;;) {
    va_list args;
    va_start(args, format);
    const int needed = std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (needed < 0) return std::string();
    if (static_cast<std::size_t>(needed) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(needed));
    }
    buffer.resize(static_cast<std::size_t>(needed) + 1);
  }
}

}  // namespace Log
}  // namespace Tivaxlib
