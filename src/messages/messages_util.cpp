// SPDX-License-Identifier: MIT
#include "messages/messages_util.h"

#include <stdexcept>

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

static_assert(sizeof(int) == sizeof(int32_t), "std::stoi must convert to 32 bits");

std::string MessagesUtil::zeroFilled(int32_t value, std::size_t width) {
  // Plain digits whatever the locale: a stream would group them ("123.456")
  // under an application's global locale.
  std::string text = std::to_string(value);
  if (text.size() < width) text.insert(0, width - text.size(), '0');
  return text;
}

std::string MessagesUtil::formatSession(int32_t numeroSessao) { return zeroFilled(numeroSessao, 6); }

bool MessagesUtil::isNumber(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string MessagesUtil::responseParser(const std::string& line) {
  const std::size_t bar = line.find('|');
  const int32_t session = std::stoi(line.substr(0, bar));
  if (bar == std::string::npos) throw std::out_of_range("answer line without separator");
  std::string normalised = formatSession(session);
  normalised.append(line, bar, std::string::npos);
  return normalised;
}

std::vector<std::string_view> splitFields(std::string_view line, bool trailingCounts) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t bar = line.find('|', start);
    if (bar == std::string::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  if (trailingCounts && !line.empty() && line.back() == '|') fields.emplace_back();
  return fields;
}

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
