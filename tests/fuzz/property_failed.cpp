// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"

namespace tivaxfuzz {

void propertyFailed(const char* what, const std::string& detail) {
  // Enough of the offending text to recognise it; the whole input is what
  // libFuzzer saves.
  std::string shown;
  for (unsigned char c : detail.substr(0, 400)) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    }
  }
  std::fprintf(stderr, "\nPROPERTY BROKEN: %s\n  %s%s\n", what, shown.c_str(),
               detail.size() > 400 ? "..." : "");
  std::abort();
}

}  // namespace tivaxfuzz
