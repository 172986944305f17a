// SPDX-License-Identifier: MIT
// Changes from outside reach a running emulator through a Unix socket
// beside its link (LINK.controle): one command line in, one answer line
// out ("ok: ..." or "erro: ..."), then the connection closes.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tivaxemu {

// The socket path for an emulator's link.
std::string controlPathFor(const std::string& linkPath);

class ControlSocket {
 public:
  // Takes a command, returns false with the reason when it fails.
  using Handler = std::function<bool(const std::string& command, std::string& outcome)>;

  ControlSocket();
  ~ControlSocket();  // stops and removes the socket
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  bool start(const std::string& path, Handler handler, std::string& error);
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

// Sends one command to the emulator behind `linkPath`; the answer line, or
// false with the reason when no emulator answers there.
bool sendControl(const std::string& linkPath, const std::string& command, std::string& answer);

}  // namespace tivaxemu
