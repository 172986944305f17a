// SPDX-License-Identifier: MIT
// Text helpers shared by the request and response messages: building a
// request line, the session-number form used on the wire, and the numeric
// test and session normalisation of answer lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "messages/sat_function_id.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

// Fields as a text stream reads them with "|" as delimiter: empty fields
// between separators count, a trailing "|" adds none, an empty line has none.
// An echo is split with `trailingCounts`: a request whose last parameter is
// empty ends in "|", and that empty parameter is a field of its own.
std::vector<std::string_view> splitFields(std::string_view line, bool trailingCounts = false);

class MessagesUtil {
 public:
  // The request line: id, "|", the session number in its wire form, then
  // "|" and each value in order (texts byte for byte, integers in plain
  // decimal), then one line feed. Nothing follows the last value, so an
  // empty last text leaves the line ending in "|". The line is built in
  // one buffer sized up front: a megabyte of sale XML costs one copy.
  template <class... Values>
  static std::string functionToPipe(sat_function_id_t id, int32_t numeroSessao,
                                    const Values&... values) {
    const std::string session = formatSession(numeroSessao);
    std::string line;
    line.reserve(kNumberWidth + 1 + session.size() + (0 + ... + fieldSize(values)) + 1);
    append(line, static_cast<int32_t>(id));
    line += '|';
    line += session;
    ((line += '|', append(line, values)), ...);
    line += '\n';
    return line;
  }

  // A session number as the device writes it: right-aligned in six
  // characters, filled with "0" on the left of the whole number, sign
  // included (-1 gives "0000-1"); longer numbers are written whole.
  static std::string formatSession(int32_t numeroSessao);
  // `value` in decimal, filled with "0" on the left (before any sign) to at
  // least `width` characters, independently of any locale.
  static std::string zeroFilled(int32_t value, std::size_t width);

  // Not empty and ASCII digits only: no sign, no blanks.
  static bool isNumber(const std::string& text);

  // The answer line with its first field rewritten in the wire form of a
  // session number ("42|06000|x" gives "000042|06000|x"). The first field is
  // read like std::stoi reads it (leading blanks and a sign allowed, digits
  // up to the first other character). Throws std::invalid_argument when the
  // field starts with no number and std::out_of_range when the number does
  // not fit 32 bits or the line holds no "|".
  static std::string responseParser(const std::string& line);

 private:
  static constexpr std::size_t kNumberWidth = 11;  // "-2147483648"

  static void append(std::string& line, const std::string& text) { line += text; }
  static void append(std::string& line, int32_t number) { line += std::to_string(number); }
  static std::size_t fieldSize(const std::string& text) { return 1 + text.size(); }
  static std::size_t fieldSize(int32_t) { return 1 + kNumberWidth; }
};

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
