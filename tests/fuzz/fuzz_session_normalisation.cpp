// SPDX-License-Identifier: MIT
// Session normalisation, the numeric test and the wire form of a session
// number, each compared with a small reference written from the protocol's
// rules rather than from the library's code.
//
// Input: any bytes, taken as one answer line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fuzz_input.h"
#include "messages/messages_util.h"

namespace {

using Tivaxlib::Transactions::Messages::MessagesUtil;
using tivaxfuzz::require;

enum class Outcome { Line, InvalidArgument, OutOfRange };

std::string wireSession(int64_t n) {
  std::string s = std::to_string(n);
  if (s.size() < 6) s.insert(0, 6 - s.size(), '0');
  return s;
}

// The blanks of the "C" locale.
bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first field read as a decimal 32-bit number: blanks, then a sign,
// then digits up to the first other character.
Outcome referenceNormalise(const std::string& line, std::string& out) {
  const size_t bar = line.find('|');
  const std::string first = line.substr(0, bar);
  size_t i = 0;
  while (i < first.size() && isBlank(first[i])) ++i;
  bool negative = false;
  if (i < first.size() && (first[i] == '+' || first[i] == '-')) negative = first[i++] == '-';
  const size_t digitsStart = i;
  int64_t value = 0;
  bool tooBig = false;
  for (; i < first.size() && first[i] >= '0' && first[i] <= '9'; ++i) {
    value = value * 10 + (first[i] - '0');
    if (value > (int64_t{1} << 32)) tooBig = true, value = int64_t{1} << 32;
  }
  if (i == digitsStart) return Outcome::InvalidArgument;
  if (negative) value = -value;
  if (tooBig || value > INT32_MAX || value < INT32_MIN) return Outcome::OutOfRange;
  if (bar == std::string::npos) return Outcome::OutOfRange;
  out = wireSession(value) + line.substr(bar);
  return Outcome::Line;
}

bool referenceIsNumber(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

const char* name(Outcome o) {
  switch (o) {
    case Outcome::Line: return "a line";
    case Outcome::InvalidArgument: return "invalid_argument";
    case Outcome::OutOfRange: return "out_of_range";
  }
  return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);

  std::string expected;
  const Outcome want = referenceNormalise(line, expected);
  std::string got;
  Outcome have;
  try {
    got = MessagesUtil::responseParser(line);
    have = Outcome::Line;
  } catch (const std::invalid_argument&) {
    have = Outcome::InvalidArgument;
  } catch (const std::out_of_range&) {
    have = Outcome::OutOfRange;
  }
  require(have == want, "normalisation outcome differs from the reference",
          std::string(name(have)) + " instead of " + name(want));
  if (have == Outcome::Line) require(got == expected, "normalised line differs", got);

  require(MessagesUtil::isNumber(line) == referenceIsNumber(line), "numeric test differs", line);

  if (size >= 4) {
    int32_t n;
    std::memcpy(&n, data, sizeof n);
    require(MessagesUtil::formatSession(n) == wireSession(n), "session wire form differs",
            MessagesUtil::formatSession(n));
  }
  return 0;
}
