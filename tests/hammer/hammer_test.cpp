// SPDX-License-Identifier: MIT
// Two programs hammer one emulated device at the same time, as a
// technician's tool may while the till sells: every answer must reach the
// program that asked for it, and neither may hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"

extern char** environ;

namespace {

constexpr int kCallsEach = 500;
// Far beyond the few seconds a run takes, even under a sanitizer.
constexpr auto kHangBound = std::chrono::minutes(4);

pid_t spawnWorker(const std::string& port, int firstSession) {
  const std::string first = std::to_string(firstSession);
  const std::string calls = std::to_string(kCallsEach);
  std::vector<char*> args = {const_cast<char*>(TIVAX_HAMMER_WORKER), const_cast<char*>(port.c_str()),
                             const_cast<char*>(first.c_str()), const_cast<char*>(calls.c_str()),
                             nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, TIVAX_HAMMER_WORKER, nullptr, nullptr, args.data(), environ) != 0) return -1;
  return pid;
}

TEST(Hammer, TwoProgramsOnOneDeviceEachGetTheirOwnAnswers) {
  char pattern[] = "/tmp/tivax-hammer-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  tivaxemu::Options options;
  options.linkPath = directory + "/ttyACM-sat";
  tivaxemu::Emulator emulator(options);
  std::string error;
  ASSERT_TRUE(emulator.start(&error)) << error;

  const auto start = std::chrono::steady_clock::now();
  std::vector<pid_t> workers = {spawnWorker(options.linkPath, 100000),
                                spawnWorker(options.linkPath, 200000)};
  std::vector<int> statuses(workers.size(), -1);
  size_t running = 0;
  for (pid_t pid : workers) running += pid > 0 ? 1 : 0;
  ASSERT_EQ(running, workers.size());
  while (running > 0 && std::chrono::steady_clock::now() - start < kHangBound) {
    for (size_t i = 0; i < workers.size(); ++i) {
      if (workers[i] <= 0) continue;
      int status = 0;
      if (waitpid(workers[i], &status, WNOHANG) == workers[i]) {
        statuses[i] = status;
        workers[i] = -1;
        --running;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (pid_t& pid : workers) {
    if (pid <= 0) continue;
    ADD_FAILURE() << "a worker hung";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[hammer] %d calls from two programs in %.1f s\n", 2 * kCallsEach, seconds);
  for (int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // One request line per call: none lost or mixed into another.
  EXPECT_EQ(emulator.requestCount(), 2u * kCallsEach);
  emulator.stop();
  rmdir(directory.c_str());
}

}  // namespace
