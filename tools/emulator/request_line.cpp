// SPDX-License-Identifier: MIT
#include "request_line.h"

#include <cstddef>
#include <iterator>
#include <limits>

namespace tivaxemu {

namespace {

bool allDigits(const std::string& text, std::size_t from) {
  if (from >= text.size()) return false;
  for (std::size_t i = from; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// Digits from `from` on, with an optional sign, into the 32-bit range.
bool readSigned(const std::string& text, std::size_t from, std::int32_t& value) {
  bool negative = false;
  if (from < text.size() && text[from] == '-') {
    negative = true;
    ++from;
  }
  if (!allDigits(text, from)) return false;
  std::int64_t magnitude = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return false;
  }
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(signedValue);
  return true;
}

}  // namespace

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = line.find('|', start);
    if (bar == std::string::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
}

bool parseSession(const std::string& text, std::int32_t& session) {
  // The zero fill may stand before a minus sign: skip it, but keep at least
  // one character so that "000000" still reads as 0.
  std::size_t from = 0;
  while (from + 1 < text.size() && text[from] == '0') ++from;
  return readSigned(text, from, session);
}

std::string formatSession(std::int64_t session) {
  std::string digits = std::to_string(session);
  if (digits.size() < 6) digits.insert(0, 6 - digits.size(), '0');
  return digits;
}

bool parseInt(const std::string& text, int& value) {
  std::int32_t parsed = 0;
  if (!readSigned(text, 0, parsed)) return false;
  value = parsed;
  return true;
}

ParseResult parseRequest(const std::string& line, Request& request) {
  request = Request();
  std::vector<std::string> fields = splitFields(line);
  if (fields.size() < 2 || !parseSession(fields[1], request.session))
    return ParseResult::kUnreadable;
  int function = -1;
  if (!allDigits(fields[0], 0) || fields[0].size() > 2 || !parseInt(fields[0], function) ||
      function > 15)
    return ParseResult::kUnknownFunction;
  request.function = function;
  request.params.assign(std::make_move_iterator(fields.begin() + 2),
                        std::make_move_iterator(fields.end()));
  return ParseResult::kOk;
}

}  // namespace tivaxemu
