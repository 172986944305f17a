// SPDX-License-Identifier: MIT
// When the hub does not know whether a request reached the device, it asks
// the device for the answer it keeps under the request's session number.
// Session numbers come round again, so that answer may belong to an older
// request: it is taken only when it provably answers this one.
#ifndef TIVAX_HUB_RECOVERY_H
#define TIVAX_HUB_RECOVERY_H

#include <optional>
#include <string>

#include "fields.h"

namespace tivaxhub {

// "" when `line`, the device's kept answer for the request's session,
// answers `request`; else, in words for the checkout, why it does not.
// A sale's (or test sale's) signed document must hold the request's
// checkout, items and payments; a cancellation's must name the key it
// cancels; any other answer must be of the request's function and differ
// from `earlier`, the answer the journal holds for an older request under
// the same session number.
std::string answerMismatch(const HubRequest& request, const std::string& line,
                           const std::optional<std::string>& earlier);

// A digest of what a request asks (its function and fields), that tells a
// repeat from another request sent under the same id.
std::string requestDigest(const HubRequest& request);

}  // namespace tivaxhub

#endif
