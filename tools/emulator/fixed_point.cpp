// SPDX-License-Identifier: MIT
#include "fixed_point.h"

#include <limits>

namespace tivaxemu {

namespace {

const int kMaxDigits = 17;

bool fits(__int128 v, std::int64_t& result) {
  if (v > std::numeric_limits<std::int64_t>::max() || v < std::numeric_limits<std::int64_t>::min())
    return false;
  result = static_cast<std::int64_t>(v);
  return true;
}

}  // namespace

bool parseFixed(const std::string& text, int scale, std::int64_t& value) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  std::int64_t whole = 0;
  int digits = 0, decimals = 0;
  bool point = false, any = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      if (!any) return false;  // a digit before the point
      point = true;
      continue;
    }
    if (c < '0' || c > '9' || ++digits > kMaxDigits) return false;
    if (point && ++decimals > scale) return false;
    whole = whole * 10 + (c - '0');
    any = true;
  }
  if (!any || (point && decimals == 0) || text.back() == '.') return false;
  for (; decimals < scale; ++decimals) {
    if (whole > std::numeric_limits<std::int64_t>::max() / 10) return false;
    whole *= 10;
  }
  value = negative ? -whole : whole;
  return true;
}

std::string formatFixed(std::int64_t value, int scale) {
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? std::uint64_t(-(value + 1)) + 1 : std::uint64_t(value);
  std::string digits = std::to_string(magnitude);
  if (digits.size() <= static_cast<std::size_t>(scale))
    digits.insert(0, scale + 1 - digits.size(), '0');
  if (scale > 0) digits.insert(digits.size() - scale, 1, '.');
  return negative ? "-" + digits : digits;
}

bool mulDivRound(std::int64_t a, std::int64_t b, std::int64_t divisor, std::int64_t& result) {
  if (divisor <= 0) return false;
  const __int128 product = static_cast<__int128>(a) * b;
  const __int128 half = divisor / 2;
  const __int128 q = product >= 0 ? (product + half) / divisor : -((-product + half) / divisor);
  return fits(q, result);
}

bool mulDivTruncate(std::int64_t a, std::int64_t b, std::int64_t divisor, std::int64_t& result) {
  if (divisor <= 0) return false;
  return fits(static_cast<__int128>(a) * b / divisor, result);
}

}  // namespace tivaxemu
