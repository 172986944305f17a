// SPDX-License-Identifier: MIT
#include "control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace tivaxemu {

namespace {

const std::size_t kMaxCommand = 4096;

bool address(const std::string& path, sockaddr_un& to, std::string& error) {
  std::memset(&to, 0, sizeof to);
  to.sun_family = AF_UNIX;
  if (path.size() >= sizeof to.sun_path) {
    error = "caminho longo demais para um socket: " + path;
    return false;
  }
  std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads up to a line feed (or the peer's end), within a bound.
std::string readLine(int fd) {
  std::string line;
  char c = 0;
  while (line.size() < kMaxCommand) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    line += c;
  }
  return line;
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

}  // namespace

std::string controlPathFor(const std::string& linkPath) { return linkPath + ".controle"; }

struct ControlSocket::Impl {
  std::string path;
  Handler handler;
  int listener = -1;
  int wake[2] = {-1, -1};
  std::thread thread;

  void serve() {
    for (;;) {
      pollfd fds[2] = {{wake[0], POLLIN, 0}, {listener, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents) return;
      if (!(fds[1].revents & POLLIN)) continue;
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const std::string command = readLine(client);
      std::string outcome;
      bool ok = false;
      try {
        ok = handler(command, outcome);
      } catch (...) {
        outcome = "falha interna";
      }
      writeAll(client, (ok ? "ok: " : "erro: ") + outcome + "\n");
      ::close(client);
    }
  }
};

ControlSocket::ControlSocket() : impl(new Impl) {}

ControlSocket::~ControlSocket() { stop(); }

bool ControlSocket::start(const std::string& path, Handler handler, std::string& error) {
  sockaddr_un at{};
  if (!address(path, at, error)) return false;
  Impl& d = *impl;
  d.listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.listener < 0 || pipe2(d.wake, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    stop();
    return false;
  }
  ::unlink(path.c_str());  // a socket left by an emulator that was killed
  if (::bind(d.listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(d.listener, 8) != 0) {
    error = path + ": " + std::strerror(errno);
    stop();
    return false;
  }
  d.path = path;
  d.handler = std::move(handler);
  d.thread = std::thread([&d] { d.serve(); });
  return true;
}

void ControlSocket::stop() {
  Impl& d = *impl;
  if (d.thread.joinable()) {
    const char x = 'x';
    while (::write(d.wake[1], &x, 1) < 0 && errno == EINTR) {
    }
    d.thread.join();
  }
  for (int* fd : {&d.listener, &d.wake[0], &d.wake[1]})
    if (*fd >= 0) {
      ::close(*fd);
      *fd = -1;
    }
  if (!d.path.empty()) ::unlink(d.path.c_str());
  d.path.clear();
}

bool sendControl(const std::string& linkPath, const std::string& command, std::string& answer) {
  sockaddr_un at{};
  const std::string path = controlPathFor(linkPath);
  if (!address(path, at, answer)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    answer = "nenhum emulador responde em " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  writeAll(fd, command + "\n");
  answer = readLine(fd);
  ::close(fd);
  if (answer.empty()) answer = "o emulador não respondeu";
  return true;
}

}  // namespace tivaxemu
