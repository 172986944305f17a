// SPDX-License-Identifier: MIT
// The link the tool drives: the port named on the command line, the one
// found by USB discovery, or an emulator started in this process.
#ifndef TIVAX_CLI_DEVICE_SESSION_H
#define TIVAX_CLI_DEVICE_SESSION_H

#include <memory>
#include <string>

#include "command_line.h"

namespace tivaxemu {
class Emulator;
}

namespace tivaxcli {

class DeviceSession {
 public:
  DeviceSession();
  ~DeviceSession();  // closes the link and stops the emulator
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Connects the library as the command line asks. False, with the reason in
  // *error, when no device can be reached.
  bool connect(PortChoice choice, const std::string& portPath, std::string* error);

  // A session number for a request: from 1 to 999999, and outside the ranges
  // in which the bundled emulator plays a faulty device.
  int drawSessionNumber() const;

 private:
  std::unique_ptr<tivaxemu::Emulator> emulator_;
  bool connected_ = false;
};

}  // namespace tivaxcli

#endif
