// SPDX-License-Identifier: MIT
// Every call ends: waits for the device that a set-up function cancels, and
// that TIVAX_TIMEOUT bounds, through the exported functions against the
// emulated device. The bounds are generous where the machine's load could
// break them, and the figures are printed.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/waits.h"
#include "e2e_link.h"
#include "support/port_holder.h"
#include "tivax.h"

namespace tivaxe2e {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using Tivaxlib::Comm::setAnswerTimeout;

constexpr auto kCancelBound = std::chrono::milliseconds(200);
constexpr auto kQuietPause = std::chrono::milliseconds(10);  // before every send

// Runs `call` on a thread of its own; tells when it has returned.
class CallInFlight {
 public:
  explicit CallInFlight(std::function<char*()> call)
      : thread_([this, call] {
          result_ = take(call());
          reason_ = TivaxlibUltimoErro();
          returned_ = Clock::now();
          done_ = true;
        }) {}
  ~CallInFlight() {
    if (thread_.joinable()) thread_.join();
  }
  std::string finish() {
    thread_.join();
    return result_;
  }
  Clock::time_point returnedAt() const { return returned_; }
  bool done() const { return done_; }
  // Why the call failed, as its own thread was told.
  const std::string& reason() const { return reason_; }

 private:
  std::string result_;
  std::string reason_;
  Clock::time_point returned_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Waits until the device has seen `count` requests in all.
bool requestsReach(std::uint64_t count) {
  const auto giveUp = Clock::now() + std::chrono::seconds(20);
  while (device().requestCount() < count) {
    if (Clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

using Cancellation = LinkedTest;

// A call waits for a device that never answers; a set-up function called
// from another thread ends that wait, then does its own work.
TEST_F(Cancellation, SetUpFunctionsEndAWaitForTheAnswer) {
  const std::string port = device().portPath();
  const struct {
    const char* name;
    std::function<void()> prepare;  // before the call starts
    std::function<int()> setUp;
  } cases[] = {
      {"TivaxlibDeInit", [] {}, [] { return TivaxlibDeInit(); }},
      {"ConfigurarPortaSerial", [] {}, [port] { return ConfigurarPortaSerial(port.c_str()); }},
      // TivaxlibInit only connects, and so only cancels, when not
      // initialised; the call opens the link itself.
      {"TivaxlibInit", [] { TivaxlibDeInit(); }, [] { return TivaxlibInit(); }},
      {"TivaxlibDeInit", [] {}, [] { return TivaxlibDeInit(); }},
      {"TivaxlibDeInit", [] {}, [] { return TivaxlibDeInit(); }},
      {"TivaxlibDeInit", [] {}, [] { return TivaxlibDeInit(); }},
      {"TivaxlibDeInit", [] {}, [] { return TivaxlibDeInit(); }},
  };
  std::vector<double> ms;
  int session = tivaxemu::kSilenceSessions;
  for (const auto& c : cases) {
    c.prepare();
    const std::uint64_t before = device().requestCount();
    const int silent = ++session;
    CallInFlight call([silent] { return AtualizarSoftwareSAT(silent, kCode); });
    ASSERT_TRUE(requestsReach(before + 1)) << c.name;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(call.done()) << c.name;
    const auto setUpAt = Clock::now();
    EXPECT_EQ(c.setUp(), 1) << c.name;
    EXPECT_EQ(call.finish(), "") << c.name;
    const std::string cancelled =
        "chamada cancelada: " + std::string(c.name) + " foi chamada e precisa da conexão com o equipamento";
    EXPECT_EQ(call.reason().substr(0, cancelled.size()), cancelled);
    const auto took = call.returnedAt() - setUpAt;
    EXPECT_LT(took, kCancelBound) << c.name;
    ms.push_back(std::chrono::duration<double, std::milli>(took).count());
    // The link still works: the next call opens it if the set-up closed it.
    EXPECT_EQ(take(ConsultarSAT(90 + silent % 10)).substr(6, 7), "|08000|") << c.name;
  }
  std::printf("[waits] set-up to the cancelled call's return: median %.2f ms, worst %.2f ms (%zu runs)\n",
              median(ms), *std::max_element(ms.begin(), ms.end()), ms.size());
}

// The wait for another process's exchange ends the same way, and nothing
// is sent.
TEST_F(Cancellation, DeInitEndsAWaitForThePort) {
  const TivaxTest::OtherProcessHoldingThePort other(device().portPath());
  ASSERT_TRUE(other.holding());
  const std::uint64_t before = device().requestCount();
  CallInFlight call([] { return AtualizarSoftwareSAT(21, kCode); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_FALSE(call.done());
  const auto setUpAt = Clock::now();
  EXPECT_EQ(TivaxlibDeInit(), 1);
  EXPECT_EQ(call.finish(), "");
  EXPECT_EQ(call.reason().rfind("chamada cancelada: TivaxlibDeInit ", 0), 0u) << call.reason();
  EXPECT_LT(call.returnedAt() - setUpAt, kCancelBound);
  EXPECT_EQ(device().requestCount(), before);
}

// A set-up function that waits for another process's turn on the port is
// itself ended by a later set-up function: TivaxlibDeInit on another thread
// never queues behind it.
TEST_F(Cancellation, ASetUpWaitingForThePortIsEndedByTheNextSetUp) {
  const std::string port = device().portPath();
  const TivaxTest::OtherProcessHoldingThePort other(port);
  ASSERT_TRUE(other.holding());
  std::atomic<int> configured{-1};
  std::thread setUp([&] { configured = ConfigurarPortaSerial(port.c_str()); });
  // The set-up opens the port (one second), then waits for the turn.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  ASSERT_EQ(configured, -1) << "the set-up did not wait for the port";
  const auto deInitAt = Clock::now();
  EXPECT_EQ(TivaxlibDeInit(), 1);
  setUp.join();
  // The set-up ended with DeInit (the port stays recorded: 1).
  EXPECT_LT(Clock::now() - deInitAt, kCancelBound + std::chrono::milliseconds(50));
  EXPECT_EQ(configured, 1);
}

// A process forked without exec opens a port of its own before its first
// exchange: parent and child each call 200 times at once, and every answer
// is its caller's.
TEST_F(Cancellation, ForkedProcessesEachGetTheirOwnAnswers) {
  constexpr int kCalls = 200;
  const auto callMany = [](int firstSession) {
    int wrong = 0;
    for (int i = 0; i < kCalls; ++i) {
      const int session = firstSession + i;
      char expected[16];
      std::snprintf(expected, sizeof expected, "%06d|08000|", session);
      if (take(ConsultarSAT(session)).rfind(expected, 0) != 0) ++wrong;
    }
    return wrong;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(std::min(callMany(100000), 255));
  const int parentWrong = callMany(200000);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  std::printf("[waits] fork without exec: %d of %d answers wrong in the parent, %d in the child\n",
              parentWrong, kCalls, WEXITSTATUS(status));
  EXPECT_EQ(parentWrong, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

using Deadlines = LinkedTest;

// With TIVAX_TIMEOUT set, a call gives up on a silent device, on an echo
// that no answer follows, and on a port another process keeps, after the
// deadline and the fixed pause before the send; within 10% of the deadline.
TEST_F(Deadlines, BoundEveryWaitForTheDevice) {
  const auto limit = std::chrono::milliseconds(1500);
  const struct {
    const char* name;
    int session;
    bool portBusy;
    const char* reason;
  } cases[] = {
      {"silent device", tivaxemu::kSilenceSessions + 50, false,
       "tempo esgotado: nenhuma resposta completa chegou em 1.5 s (TIVAX_TIMEOUT), na porta "},
      {"echo, then silence", tivaxemu::kEchoThenSilenceSessions + 1, false,
       "tempo esgotado: nenhuma resposta completa chegou em 1.5 s"},
      {"busy port", 22, true, "porta ocupada: outro processo usou "},
  };
  setAnswerTimeout(limit);
  for (const auto& c : cases) {
    std::unique_ptr<TivaxTest::OtherProcessHoldingThePort> other;
    if (c.portBusy) {
      other = std::make_unique<TivaxTest::OtherProcessHoldingThePort>(device().portPath());
      ASSERT_TRUE(other->holding());
    }
    const auto start = Clock::now();
    EXPECT_EQ(take(AtualizarSoftwareSAT(c.session, kCode)), "") << c.name;
    const auto took = Clock::now() - start;
    EXPECT_EQ(std::string(TivaxlibUltimoErro()).rfind(c.reason, 0), 0u) << TivaxlibUltimoErro();
    EXPECT_GE(took, limit) << c.name;
    EXPECT_LE(took, limit + limit / 10 + kQuietPause) << c.name;
    std::printf("[waits] %-20s gave up after %.3f s (deadline %.3f s)\n", c.name,
                Seconds(took).count(), Seconds(limit).count());
  }
  setAnswerTimeout(std::chrono::nanoseconds(0));
  EXPECT_EQ(take(AtualizarSoftwareSAT(23, kCode)), "000023|14000|Software Atualizado com Sucesso||");
  EXPECT_STREQ(TivaxlibUltimoErro(), "");
}

TEST(TimeoutValue, IsReadInSecondsWhateverTheLocale) {
  using std::chrono::nanoseconds;
  const struct {
    const char* text;
    bool accepted;
    long long ns;
  } cases[] = {
      {"", true, 0},           {"0", true, 0},
      {"2", true, 2000000000}, {"2.5", true, 2500000000},
      {".25", true, 250000000}, {"3.", true, 3000000000},
      {"0.0000000001", true, 1},  // above zero stays above zero
      {"99999999999999999999", true, 1000000000LL * 1000000000LL},
      {"2,5", true, 2500000000}, {"-1", false, 0},  // a decimal comma too
      {"1,2.3", false, 0},
      {"1e3", false, 0},       {" 2", false, 0},
      {"1.2.3", false, 0},     {".", false, 0},
  };
  for (const auto& c : cases) {
    nanoseconds limit{-1};
    EXPECT_EQ(Tivaxlib::Comm::parseTimeout(c.text, limit), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(limit.count(), c.ns) << c.text;
    }
  }
}

// Run by CTest a second and a third time with TIVAX_TIMEOUT in the
// environment: the value the library reads for itself.
TEST(Environment, SetsTheDeadline) {
  const char* value = std::getenv("TIVAX_TIMEOUT");
  if (value == nullptr) GTEST_SKIP() << "TIVAX_TIMEOUT not set";
  if (std::strcmp(value, "1.5") != 0 && std::strcmp(value, "1,5") != 0) {
    // Malformed: reported once on standard error (CTest checks the text),
    // and there is no limit.
    EXPECT_EQ(Tivaxlib::Comm::answerTimeout().count(), 0);
    return;
  }
  EXPECT_EQ(Tivaxlib::Comm::answerTimeout(), std::chrono::milliseconds(1500));
  const auto start = Clock::now();
  EXPECT_EQ(take(AtualizarSoftwareSAT(tivaxemu::kSilenceSessions + 60, kCode)), "");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1500));
  EXPECT_LE(took, std::chrono::milliseconds(1650) + kQuietPause);

  // Set again after the first call: read again by the set-up functions.
  const std::string before = value;
  setenv("TIVAX_TIMEOUT", "0,25", 1);
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(Tivaxlib::Comm::answerTimeout(), std::chrono::milliseconds(250));
  unsetenv("TIVAX_TIMEOUT");
  EXPECT_EQ(ConfigurarPortaSerial(device().portPath().c_str()), 1);
  EXPECT_EQ(Tivaxlib::Comm::answerTimeout().count(), 0);
  setenv("TIVAX_TIMEOUT", before.c_str(), 1);
}

}  // namespace
}  // namespace tivaxe2e
