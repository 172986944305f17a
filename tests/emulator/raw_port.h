// SPDX-License-Identifier: MIT
// The library's side of the emulator's link, raw like the library sets it.
#ifndef TIVAX_TESTS_EMULATOR_RAW_PORT_H
#define TIVAX_TESTS_EMULATOR_RAW_PORT_H

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "emulator/child_process.h"

namespace tivaxtest {

class RawPort {
 public:
  explicit RawPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)), in_(fd_) {
    termios settings{};
    if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
      cfmakeraw(&settings);
      tcsetattr(fd_, TCSANOW, &settings);
    }
  }
  ~RawPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawPort(const RawPort&) = delete;
  RawPort& operator=(const RawPort&) = delete;
  bool ok() const { return fd_ >= 0; }

  void send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0) << std::strerror(errno);
      done += static_cast<std::size_t>(n);
    }
  }

  // Up to and including the next line feed; what came before a hang-up or
  // the time limit otherwise (a limit only a stuck emulator reaches).
  std::string readLine() {
    std::string line;
    return in_.next(stuck(), line) ? line + "\n" : in_.rest();
  }

  // Exactly `count` bytes (fewer only on a hang-up or when stuck).
  std::string readBytes(std::size_t count) { return in_.take(count, stuck()); }

 private:
  static std::chrono::steady_clock::time_point stuck() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(10);
  }

  int fd_;
  LineReader in_;
};

}  // namespace tivaxtest

#endif
