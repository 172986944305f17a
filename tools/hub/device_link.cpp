// SPDX-License-Identifier: MIT
#include "device_link.h"

#include "tivax.h"

namespace tivaxhub {

const char kUnreachable[] = "equipamento inacessível";

bool DeviceLink::connect() {
  lastError_.clear();
  if (!port_.empty() && !portSet_) {
    // Storing the port also opens it; the link is opened once more below
    // so that the result says whether it is up.
    ConfigurarPortaSerial(port_.c_str());
    portSet_ = true;
  }
  // Closed first: the old link and the new one are never open together.
  // Down from here: opening a port can take a while, and whoever asks
  // meanwhile (the page, /saude) must not be told the link is up.
  up_ = false;
  TivaxlibDeInit();
  up_ = TivaxlibInit() == 1;
  if (!up_) lastError_ = TivaxlibUltimoErro();
  return up_;
}

void DeviceLink::close() {
  TivaxlibDeInit();
  up_ = false;
}

std::string DeviceLink::unreachable() const {
  return lastError_.empty() ? std::string(kUnreachable) : std::string(kUnreachable) + ": " + lastError_;
}

Delivery judgeExchange(const std::string& line, DeviceLink& link) {
  if (!line.empty()) return Delivery::Answered;
  return link.connect() ? Delivery::Invalid : Delivery::Unreachable;
}

std::string lastCallReason() {
  const char* reason = TivaxlibUltimoErro();
  if (reason != nullptr && *reason != '\0') return reason;
  return "o equipamento não respondeu, recusou o pedido ou deu uma resposta que não corresponde a ele";
}

}  // namespace tivaxhub
