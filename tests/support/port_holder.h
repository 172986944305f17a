// SPDX-License-Identifier: MIT
// A port that another process keeps for an exchange of its own.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace TivaxTest {

// Another process that has the port for an exchange of its own: it holds
// the port's lock until released.
class OtherProcessHoldingThePort {
 public:
  explicit OtherProcessHoldingThePort(const std::string& port) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls in the child of a threaded process.
      close(ready[0]);
      close(release[1]);
      const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
      const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      char ignored;
      while (read(release[0], &ignored, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    releaseFd_ = release[1];
    char ok = 'n';
    holding_ = read(ready[0], &ok, 1) == 1 && ok == 'y';
    close(ready[0]);
  }
  ~OtherProcessHoldingThePort() {
    if (releaseFd_ >= 0) close(releaseFd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool holding() const { return holding_; }

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
  bool holding_ = false;
};

}  // namespace TivaxTest
