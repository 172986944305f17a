// SPDX-License-Identifier: MIT
// Money and quantities as integers scaled by a power of ten: the device's
// arithmetic is decimal, and binary floating point would round differently
// from it.
#pragma once

#include <cstdint>
#include <string>

namespace tivaxemu {

// Reads "[-]digits[.digits]" with at most `scale` decimals into the value
// times 10^scale. False for anything else or more than 17 digits in all.
bool parseFixed(const std::string& text, int scale, std::int64_t& value);

// Writes value / 10^scale with exactly `scale` decimals ("12.50").
std::string formatFixed(std::int64_t value, int scale);

// a * b / divisor, rounded half away from zero (roundHalfUp) or toward zero.
// The product is taken in 128 bits; false when the result leaves 64.
bool mulDivRound(std::int64_t a, std::int64_t b, std::int64_t divisor, std::int64_t& result);
bool mulDivTruncate(std::int64_t a, std::int64_t b, std::int64_t divisor, std::int64_t& result);

}  // namespace tivaxemu
