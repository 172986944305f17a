// SPDX-License-Identifier: MIT
#include "device_session.h"

#include <random>

#include "emulator.h"
#include "subcommands.h"
#include "tivax.h"

namespace tivaxcli {

DeviceSession::DeviceSession() = default;

DeviceSession::~DeviceSession() {
  if (connected_) TivaxlibDeInit();
  if (emulator_) emulator_->stop();
}

bool DeviceSession::connect(PortChoice choice, const std::string& portPath, std::string* error) {
  std::string port = portPath;
  if (choice == PortChoice::Emulator) {
    emulator_ = std::make_unique<tivaxemu::Emulator>();
    std::string reason;
    if (!emulator_->start(&reason)) {
      *error = "não foi possível iniciar o emulador: " + reason;
      return false;
    }
    port = emulator_->portPath();
  }
  if (choice == PortChoice::Discovery) {
    connected_ = TivaxlibInit() == 1;
    if (!connected_) {
      *error = libraryReason();
      if (error->empty()) *error = "nenhum equipamento encontrado nos terminais USB (use --porta)";
    }
    return connected_;
  }
  // The path is stored even when it does not open, and the library then
  // says why. Going on would only have the SAT call try again and fail the
  // same way, so the tool stops here.
  connected_ = ConfigurarPortaSerial(port.c_str()) == 1;
  *error = libraryReason();
  return connected_ && error->empty();
}

int DeviceSession::drawSessionNumber() const {
  std::random_device entropy;
  std::mt19937 generator(entropy());
  std::uniform_int_distribution<int> draw(1, 999999);
  int session = draw(generator);
  while (tivaxemu::faultsForSession(session) != tivaxemu::kNoFault) session = draw(generator);
  return session;
}

}  // namespace tivaxcli
