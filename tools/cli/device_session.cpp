#include "device_session.h"

#include <random>

#include "emulator.h"
#include "tivax.h"

namespace tivaxcli {

DeviceSession::DeviceSession() = default;

DeviceSession::~DeviceSession() {
  if (connected_) TivaxlibDeInit();
  if (emulator_) emulator_->stop();
}

bool DeviceSession::connect(PortChoice choice, const std::string& portPath, std::string* error) {
  switch (choice) {
    case PortChoice::Emulator: {
      emulator_ = std::make_unique<tivaxemu::Emulator>();
      std::string reason;
      if (!emulator_->start(&reason)) {
        *error = "não foi possível iniciar o emulador: " + reason;
        return false;
      }
      // Opening a port that fails is reported by the library on standard
      // error; the call that follows then gives the invalid result.
      connected_ = ConfigurarPortaSerial(emulator_->portPath().c_str()) == 1;
      break;
    }
    case PortChoice::Path:
      connected_ = ConfigurarPortaSerial(portPath.c_str()) == 1;
      break;
    case PortChoice::Discovery:
      connected_ = TivaxlibInit() == 1;
      if (!connected_) *error = "nenhum equipamento encontrado nos terminais USB (use --porta)";
      break;
  }
  return connected_;
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
