// SPDX-License-Identifier: MIT
// Who may talk to the hub: the client networks allowed, and the bearer
// token when one is configured.
#ifndef TIVAX_HUB_ACCESS_H
#define TIVAX_HUB_ACCESS_H

#include <string>
#include <vector>

namespace tivaxhub {

// An IPv4 or IPv6 network; IPv4 is kept as the IPv4-mapped IPv6 form so
// that a client reaching a dual-stack socket matches the IPv4 lists.
struct Network {
  unsigned char address[16] = {};
  int prefix = 128;
};

// "192.168.0.0/24", "10.0.0.7", "fd00::/8", "::1". False for anything else.
bool parseNetwork(const std::string& text, Network* network);

class AccessPolicy {
 public:
  // Networks as parseNetwork reads them (already checked by the
  // configuration); none: the loopback networks only.
  AccessPolicy(const std::vector<std::string>& networks, std::string token);

  bool clientAllowed(const std::string& address) const;
  // The Authorization header of a request: "Bearer <token>". Always true
  // when no token is configured.
  bool tokenAccepted(const std::string& authorization) const;

 private:
  std::vector<Network> networks_;
  std::string token_;
};

}  // namespace tivaxhub

#endif
