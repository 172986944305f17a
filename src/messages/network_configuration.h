// SPDX-License-Identifier: MIT
// The network configuration handed to the device: the caller's XML with its
// five IPv4 address elements rewritten in plain dotted decimal, serialised
// again in one fixed layout. EnvioConfigurarInterfaceDeRede's setter and
// getter live in network_configuration.cpp.
#pragma once

#include <cstddef>
#include <string>

#include <pugixml.hpp>

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

// An address in plain dotted decimal: "192.168.001.010" gives
// "192.168.1.10". Reads four decimal numbers of at most three characters
// each (a sign counts as one), each optionally preceded by blanks, separated
// by "."; whatever follows the fourth number, such as " " or "/24", is
// ignored. Scanning stops at the first character that does not fit, and
// every number not read by then is written as 0, so "1921.168.1.1" gives
// "192.0.0.0" and "" gives "0.0.0.0". There is no range check: 300 stays
// 300 and a sign is kept; judging the address is the device's business.
std::string get_ip(const std::string& text);

// Collects what the XML library saves into one byte string.
class xml_string_writer : public pugi::xml_writer {
 public:
  std::string result;
  void write(const void* data, size_t size) override;
};

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
