// SPDX-License-Identifier: MIT
#include "pseudo_terminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tivaxemu {

namespace {

std::string describe(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::unique_ptr<PseudoTerminal> PseudoTerminal::open(std::string& error) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    error = describe("posix_openpt");
    return nullptr;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error = describe("preparação do pseudoterminal");
    ::close(master);
    return nullptr;
  }
  const int flags = fcntl(master, F_GETFL);
  if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0 ||
      fcntl(master, F_SETFD, FD_CLOEXEC) != 0) {
    error = describe("fcntl");
    ::close(master);
    return nullptr;
  }
  const int keeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper < 0) {
    error = describe("abertura do lado terminal");
    ::close(master);
    return nullptr;
  }
  // Raw until the library sets its own line settings: nothing written
  // before then is echoed back or translated.
  termios settings{};
  if (tcgetattr(keeper, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(keeper, TCSANOW, &settings);
  }
  return std::unique_ptr<PseudoTerminal>(new PseudoTerminal(master, keeper, name));
}

PseudoTerminal::PseudoTerminal(int master, int keeper, std::string path)
    : masterFd(master), keeperFd(keeper), terminalPath(std::move(path)) {}

PseudoTerminal::~PseudoTerminal() {
  ::close(keeperFd);
  ::close(masterFd);
}

bool pointLinkAt(const std::string& link, const std::string& target, std::string& error) {
  struct stat info {};
  if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
    error = link + " já existe e não é um link simbólico";
    return false;
  }
  // A fresh symlink renamed over the old one: the path never goes missing.
  static std::atomic<unsigned> counter{0};
  const std::string temporary =
      link + ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter++);
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) {
    error = describe(("criação do link " + temporary).c_str());
    return false;
  }
  if (::rename(temporary.c_str(), link.c_str()) != 0) {
    error = describe(("troca do link " + link).c_str());
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

void removeLink(const std::string& link, const std::string& target) {
  std::vector<char> buffer(target.size() + 2);
  const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (length >= 0 && std::string(buffer.data(), static_cast<std::size_t>(length)) == target)
    ::unlink(link.c_str());
}

}  // namespace tivaxemu
