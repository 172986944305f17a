// SPDX-License-Identifier: MIT
#include "access.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace tivaxhub {

namespace {

bool parseAddress(const std::string& text, unsigned char out[16], bool* isV4) {
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    std::memset(out, 0, 10);
    out[10] = out[11] = 0xff;
    std::memcpy(out + 12, &v4, 4);
    *isV4 = true;
    return true;
  }
  *isV4 = false;
  return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

bool contains(const Network& network, const unsigned char address[16]) {
  int bits = network.prefix;
  for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    const unsigned mask = bits >= 8 ? 0xffu : (0xffu << (8 - bits)) & 0xffu;
    if ((network.address[i] & mask) != (address[i] & mask)) return false;
  }
  return true;
}

}  // namespace

bool parseNetwork(const std::string& text, Network* network) {
  const size_t slash = text.find('/');
  bool isV4 = false;
  if (!parseAddress(text.substr(0, slash), network->address, &isV4)) return false;
  const int width = isV4 ? 32 : 128;
  int prefix = width;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    prefix = std::atoi(digits.c_str());
    if (prefix > width) return false;
  }
  network->prefix = prefix + (isV4 ? 96 : 0);
  return true;
}

AccessPolicy::AccessPolicy(const std::vector<std::string>& networks, std::string token)
    : token_(std::move(token)) {
  for (const std::string& text : networks) {
    Network network;
    if (parseNetwork(text, &network)) networks_.push_back(network);
  }
  if (networks.empty()) {
    Network loopback;
    parseNetwork("127.0.0.0/8", &loopback);
    networks_.push_back(loopback);
    parseNetwork("::1", &loopback);
    networks_.push_back(loopback);
  }
}

bool AccessPolicy::clientAllowed(const std::string& address) const {
  unsigned char bytes[16];
  bool isV4 = false;
  if (!parseAddress(address, bytes, &isV4)) return false;
  for (const Network& network : networks_)
    if (contains(network, bytes)) return true;
  return false;
}

bool AccessPolicy::tokenAccepted(const std::string& authorization) const {
  if (token_.empty()) return true;
  static const char kScheme[] = "Bearer ";
  const size_t schemeLength = sizeof kScheme - 1;
  if (authorization.size() < schemeLength ||
      strncasecmp(authorization.c_str(), kScheme, schemeLength) != 0)
    return false;
  // Every byte is compared whatever the earlier ones were, so the time
  // taken tells nothing about how much of a guess was right.
  const std::string given = authorization.substr(schemeLength);
  unsigned difference = given.size() != token_.size();
  for (size_t i = 0; i < given.size(); ++i)
    difference |= static_cast<unsigned char>(given[i]) ^
                  static_cast<unsigned char>(token_[i % token_.size()]);
  return difference == 0;
}

}  // namespace tivaxhub
