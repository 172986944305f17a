// SPDX-License-Identifier: MIT
// The parameters of each function's request, in the order of its request
// line, read from the request message: what the echo check compares the
// device's echo with, and what the log writes (with the activation codes
// masked and bulky fields shortened).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "log/trace.h"
#include "messages/sat_function_id.h"
#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

// One request parameter as it travels.
struct RequestValue {
  const std::string* text;  // null for a numeric parameter
  int32_t number;
};
using RequestFieldReader = RequestValue (*)(const SendMessageBase& request);

struct RequestField {
  RequestFieldReader read;
  Log::FieldRole role;
};

constexpr std::size_t kMaxRequestFields = 4;

// Fields 3 onward of the request line (after the function id and the
// session number).
struct RequestLayout {
  sat_function_id_t id;
  const char* function;  // the SAT function's name
  RequestField fields[kMaxRequestFields];

  std::size_t fieldCount() const {
    std::size_t count = 0;
    while (count < kMaxRequestFields && fields[count].read != nullptr) ++count;
    return count;
  }
};

// The layout of a function's request; `request` must be of its class.
const RequestLayout& requestLayout(sat_function_id_t id);

// The request line as the log shows it, without its terminator.
std::string requestLineForLog(const SendMessageBase& request);

// A line received after `request` as the log shows it: a line that carries
// the request's function and session (an echo, or a garbled one) is masked
// field by field like the request itself; any other line is shortened, and
// any secret of the request that still stands in it is masked.
std::string receivedLineForLog(const SendMessageBase& request, std::string_view line);

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
