// SPDX-License-Identifier: MIT
// The network-configuration rewriting of ConfigurarInterfaceDeRede and the
// address conversion behind it, on any bytes.
//
// The address conversion must always give four plain decimal groups and
// leave its own output unchanged. The rewritten configuration is either
// empty (the text did not load) or a document that starts with the plain
// declaration, loads again, and holds its five
// address elements in the converted form. Only the first text of an
// address element is converted: an element whose text is split (around a
// comment or a processing instruction, which loading drops) keeps the rest,
// and writing the pieces out again joins them; such elements are left out
// of the last check.
#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "messages/network_configuration.h"
#include "messages/send_messages.h"

namespace {

namespace M = Tivaxlib::Transactions::Messages;
using tivaxfuzz::require;

// Four groups joined by ".", each a number written the way "%d" writes it
// from at most three scanned characters: -99 to 999, no leading zero.
bool isPlainAddress(const std::string& address) {
  size_t start = 0;
  for (int group = 0; group < 4; ++group) {
    const size_t dot = address.find('.', start);
    if ((group < 3) != (dot != std::string::npos)) return false;
    const std::string part = address.substr(start, dot == std::string::npos ? dot : dot - start);
    if (part.empty() || part.size() > 3) return false;
    if (part.find_first_not_of("-0123456789") != std::string::npos) return false;
    if (std::to_string(std::atoi(part.c_str())) != part) return false;
    start = dot + 1;
  }
  return true;
}

// Whether the element's text is exactly what gets converted: no child, or
// a single text or CDATA child.
bool wholeTextConverted(const pugi::xml_node& element) {
  const pugi::xml_node first = element.first_child();
  if (!first) return true;
  return first == element.last_child() &&
         (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata);
}

const char* const kAddressElements[] = {"lanIP", "lanMask", "lanGW", "lanDNS1", "lanDNS2"};
const std::string kDeclaration = "<?xml version=\"1.0\"?>\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const std::string address = M::get_ip(input);
  require(isPlainAddress(address), "address not in plain form", address);
  require(M::get_ip(address) == address, "converting an address twice changes it", address);

  M::EnvioConfigurarInterfaceDeRede request;
  request.setDadosConfiguracao(input);
  const std::string& stored = request.getDadosConfiguracao();
  if (stored.empty()) return 0;

  require(stored.compare(0, kDeclaration.size(), kDeclaration) == 0,
          "stored configuration without the plain declaration", stored);

  pugi::xml_document original;
  original.load_string(input.c_str());
  pugi::xml_document again;
  require(static_cast<bool>(again.load_string(stored.c_str())),
          "stored configuration does not load again", stored);
  const pugi::xml_node config = again.child("config");
  for (const char* name : kAddressElements) {
    const pugi::xml_node element = config.child(name);
    if (!element || !wholeTextConverted(original.child("config").child(name))) continue;
    const std::string text = element.text().get();
    require(isPlainAddress(text), "address element not converted", text);
  }
  return 0;
}
