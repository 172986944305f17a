// SPDX-License-Identifier: MIT
// The shape a sale must have before any field rule is looked at: the
// elements of the input layouts 0.07 and 0.08, their order and counts, and
// the form of each value. Value forms leave room for the field rules: a
// negative quantity or an empty CNPJ has a rejection code of its own, so
// the layout lets it through to that rule.
#pragma once

#include <pugixml.hpp>
#include <string>

namespace tivaxemu {

struct LayoutFault {
  std::string path;    // "det[3]/prod/qCom"
  std::string reason;  // what is wrong, in Portuguese
  std::string value;   // the text at fault, when there is one
};

// Checks the document under `root` (the CFe element). False with the first
// fault found, in document order.
bool checkSaleLayout(const pugi::xml_node& root, LayoutFault& fault);
// The same for a cancellation (the CFeCanc element).
bool checkCancellationLayout(const pugi::xml_node& root, LayoutFault& fault);

}  // namespace tivaxemu
