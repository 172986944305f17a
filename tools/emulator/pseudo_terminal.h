// SPDX-License-Identifier: MIT
// The emulator's end of the serial link: a pseudo-terminal pair whose
// terminal side stands in for the device's ttyACM node.
#pragma once

#include <memory>
#include <string>

namespace tivaxemu {

class PseudoTerminal {
 public:
  // A new pair, master non-blocking. Null with the reason in `error` when
  // the system refuses.
  static std::unique_ptr<PseudoTerminal> open(std::string& error);
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master() const { return masterFd; }
  // The terminal side, e.g. /dev/pts/7.
  const std::string& path() const { return terminalPath; }

 private:
  PseudoTerminal(int master, int keeper, std::string path);

  int masterFd;
  // The terminal side held open by the emulator itself (and never read), so
  // that the master does not see a hang-up each time the library closes
  // the port between its opens.
  int keeperFd;
  std::string terminalPath;
};

// Makes `link` a symlink to `target`, replacing an older symlink at once
// (readers never find it missing). Refuses to replace anything but a
// symlink.
bool pointLinkAt(const std::string& link, const std::string& target, std::string& error);
// Removes `link` if it is a symlink to `target`.
void removeLink(const std::string& link, const std::string& target);

}  // namespace tivaxemu
