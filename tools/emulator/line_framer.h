// SPDX-License-Identifier: MIT
// Cuts the byte stream from the library into request lines. A line ends at
// a line feed; one carriage return before it is dropped too, since the
// terminal may turn the library's LF into CR LF. A line longer than the cap
// keeps its beginning only, so memory stays bounded whatever arrives.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tivaxemu {

class LineFramer {
 public:
  struct Line {
    std::string text;
    bool truncated = false;
  };

  explicit LineFramer(std::size_t maxLineBytes);

  // Appends the complete lines found in these bytes to `lines`.
  void push(const char* data, std::size_t size, std::vector<Line>& lines);
  // Forgets a partly received line.
  void reset();

 private:
  std::size_t maxLineBytes;
  std::string current;
  bool truncated = false;
};

}  // namespace tivaxemu
