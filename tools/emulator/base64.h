// SPDX-License-Identifier: MIT
// Base64 (RFC 4648, with padding): the device's binary payloads (CF-e
// documents, logs, signatures) travel as base64 so that no "|" or line feed
// can appear in an answer field.
#pragma once

#include <string>

namespace tivaxemu {

std::string base64Encode(const std::string& bytes);

}  // namespace tivaxemu
