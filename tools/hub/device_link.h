// SPDX-License-Identifier: MIT
// The hub's hold on the device through the library: the port it connects
// (or USB discovery), whether the link is up, and what an exchange's
// outcome tells about reaching the device.
#ifndef TIVAX_HUB_DEVICE_LINK_H
#define TIVAX_HUB_DEVICE_LINK_H

#include <atomic>
#include <string>

namespace tivaxhub {

class DeviceLink {
 public:
  // An empty port: USB discovery.
  explicit DeviceLink(std::string port) : port_(std::move(port)) {}

  // Opens the link afresh (closing the old one first). True when it is up.
  bool connect();
  void close();
  bool up() const { return up_.load(); }
  const std::string& port() const { return port_; }
  // "equipamento inacessível", with the library's reason for the last
  // connect() that failed. Read on the thread that connects.
  std::string unreachable() const;

 private:
  std::string port_;
  std::string lastError_;
  bool portSet_ = false;
  std::atomic<bool> up_{false};
};

// What one exchange came to, from what the hub can see.
enum class Delivery {
  Answered,     // the library returned a line
  Invalid,      // the invalid result, with the link still up afterwards
  Unreachable,  // the link could not be (re)opened
};

// The invalid result leaves the link reopened at once: a late answer still
// on its way must not be taken for the next request's, and a device that
// went away shows as unreachable.
Delivery judgeExchange(const std::string& line, DeviceLink& link);

extern const char kUnreachable[];

// Why the library gave the calling thread the invalid result just now (its
// TivaxlibUltimoErro), for the "erro" member of an answer; read before any
// other library call on the thread.
std::string lastCallReason();

}  // namespace tivaxhub

#endif
