// SPDX-License-Identifier: MIT
#include "messages/network_configuration.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

namespace {

// The address elements, direct children of the top-level config element,
// rewritten in this order.
constexpr const char* kAddressElements[] = {"lanIP", "lanMask", "lanGW", "lanDNS1", "lanDNS2"};

// The layout the document is written back in indents every line by its
// depth, so the text grows with the square of the nesting: a small but
// deeply nested input would come back gigabytes long. A configuration is
// two levels deep; anything beyond this is treated like text that is not XML.
constexpr int kDeepestNesting = 64;

struct NestingProbe : pugi::xml_tree_walker {
  bool for_each(pugi::xml_node&) override { return depth() < kDeepestNesting; }
};

}  // namespace

std::string get_ip(const std::string& text) {
  int parts[4] = {0, 0, 0, 0};
  // The width of three keeps "1921" from being read as one number.
  std::sscanf(text.c_str(), "%3d.%3d.%3d.%3d", &parts[0], &parts[1], &parts[2], &parts[3]);
  std::string address;
  for (int part : parts) {
    if (!address.empty()) address += '.';
    address += std::to_string(part);
  }
  return address;
}

void xml_string_writer::write(const void* data, size_t size) {
  result.append(static_cast<const char*>(data), size);
}

// The device wants its addresses without leading zeros, which POS
// configurations often carry ("192.168.001.010"). Text that does not parse
// as XML is left out rather than sent half-understood: the field stays as
// it was (empty on a fresh message) and the device answers the request.
void EnvioConfigurarInterfaceDeRede::setDadosConfiguracao(const std::string& configuracao) {
  try {
    pugi::xml_document document;
    if (!document.load_string(configuracao.c_str(), pugi::parse_default)) return;
    NestingProbe probe;
    if (!document.traverse(probe)) return;

    for (const char* name : kAddressElements) {
      // A missing element reads as empty and takes no text.
      const std::string address = get_ip(document.child("config").child(name).text().get());
      document.child("config").child(name).text().set(address.c_str());
    }

    // No declaration node survives parsing, so the library writes its own
    // plain one, whatever encoding the input declared.
    xml_string_writer writer;
    document.save(writer, "\t", pugi::format_indent, pugi::encoding_auto);
    dadosConfiguracao = std::move(writer.result);
  } catch (const std::exception&) {
    // Out of memory while rewriting: the field keeps its previous value.
  }
}

const std::string& EnvioConfigurarInterfaceDeRede::getDadosConfiguracao() const {
  return dadosConfiguracao;
}

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
