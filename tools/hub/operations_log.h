// SPDX-License-Identifier: MIT
// The hub's own operational messages (start, listening address, refusals,
// stop): one place, one line on standard error per event.
#ifndef TIVAX_HUB_OPERATIONS_LOG_H
#define TIVAX_HUB_OPERATIONS_LOG_H

#include <string>

namespace tivaxhub {

void logMessage(const std::string& message);

}  // namespace tivaxhub

#endif
