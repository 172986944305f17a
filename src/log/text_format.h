// SPDX-License-Identifier: MIT
// printf-style formatting into a std::string of any length.
#pragma once

#include <string>

namespace Tivaxlib {
namespace Log {

std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Log
}  // namespace Tivaxlib
