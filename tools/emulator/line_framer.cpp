// SPDX-License-Identifier: MIT
#include "line_framer.h"

#include <cstring>
#include <utility>

namespace tivaxemu {

LineFramer::LineFramer(std::size_t maxBytes) : maxLineBytes(maxBytes) {}

void LineFramer::push(const char* data, std::size_t size, std::vector<Line>& lines) {
  while (size > 0) {
    const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
    const std::size_t piece = end ? static_cast<std::size_t>(end - data) : size;
    const std::size_t room = current.size() < maxLineBytes ? maxLineBytes - current.size() : 0;
    if (piece <= room) {
      current.append(data, piece);
    } else {
      current.append(data, room);
      truncated = true;
    }
    if (!end) return;

    Line line;
    line.text = std::move(current);
    line.truncated = truncated;
    if (!truncated && !line.text.empty() && line.text.back() == '\r')
      line.text.pop_back();
    lines.push_back(std::move(line));
    reset();
    data += piece + 1;
    size -= piece + 1;
  }
}

void LineFramer::reset() {
  current.clear();
  truncated = false;
}

}  // namespace tivaxemu
