// SPDX-License-Identifier: MIT
// How the fuzz targets read their input. The inputs stay text so that the
// starter corpus can be written and read by people:
//
//   header \x1e body
//
// The header is a list of values separated by \x1f (unit separator); the
// body is everything after the first \x1e (record separator), or nothing
// when there is none. Integers are read in decimal with an optional "-"
// and wrap around on overflow like the device's 32-bit fields; a missing
// value reads as 0 or the empty text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tivaxfuzz {

class FieldReader {
 public:
  FieldReader(const uint8_t* data, size_t size) {
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t split = all.find('\x1e');
    const std::string header = all.substr(0, split);
    body_ = split == std::string::npos ? std::string() : all.substr(split + 1);
    size_t start = 0;
    for (;;) {
      const size_t bar = header.find('\x1f', start);
      values_.push_back(header.substr(start, bar == std::string::npos ? bar : bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
  }

  std::string text() { return next_ < values_.size() ? values_[next_++] : std::string(); }

  int32_t integer() {
    const std::string t = text();
    size_t i = 0;
    const bool negative = i < t.size() && t[i] == '-';
    if (negative) ++i;
    uint32_t value = 0;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i)
      value = value * 10u + static_cast<uint32_t>(t[i] - '0');
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
  }

  const std::string& body() const { return body_; }

 private:
  std::vector<std::string> values_;
  size_t next_ = 0;
  std::string body_;
};

// Stops the run the way a sanitizer would, with a message saying which
// property broke; libFuzzer keeps the input as a crash case.
[[noreturn]] void propertyFailed(const char* what, const std::string& detail);

inline void require(bool holds, const char* what, const std::string& detail = std::string()) {
  if (!holds) propertyFailed(what, detail);
}

}  // namespace tivaxfuzz
