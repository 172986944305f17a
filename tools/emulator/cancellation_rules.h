// SPDX-License-Identifier: MIT
// How the device judges CancelarUltimaVenda: only the last sale it issued,
// once, within 30 minutes by its own clock, by the same software house and
// for the same recipient.
#pragma once

#include <ctime>
#include <pugixml.hpp>
#include <string>

#include "device_state.h"
#include "sale_rules.h"

namespace tivaxemu {

struct CancellationContext {
  bool haveSale = false;
  LastSale sale;
  std::time_t now = 0;
  bool clockBehind = false;
};

// How long after a sale it may still be cancelled.
constexpr std::time_t kCancellationWindow = 30 * 60;

// `key` is the chave parameter ("CFe" + 44 digits); `root` the CFeCanc
// element.
Rejection judgeCancellation(const std::string& key, const pugi::xml_node& root,
                            const CancellationContext& context);

}  // namespace tivaxemu
