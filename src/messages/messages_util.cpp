#include "messages/messages_util.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

static_assert(sizeof(int) == sizeof(int32_t), "std::stoi must convert to 32 bits");

std::string MessagesUtil::formatSession(int32_t numeroSessao) {
  // Stream padding puts the fill before the sign, which is the device's form.
  std::ostringstream text;
  text << std::setw(6) << std::setfill('0') << numeroSessao;
  return text.str();
}

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

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
