// SPDX-License-Identifier: MIT
// Faults by name for the next N requests: `--falha TIPO[:N]` on the command
// line and `falha TIPO[:N]` on the control socket, so that every fault the
// session ranges give is reachable with sessions the library accepts.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "emulator/child_process.h"
#include "emulator/raw_port.h"

namespace {

using tivaxemu::CountedFault;
using tivaxemu::Faults;
using tivaxemu::kNamedFaults;
using tivaxtest::ChildProcess;
using tivaxtest::RawPort;

TEST(FaultByName, EveryNameStandsForItsSessionRangesFault) {
  for (const auto& named : kNamedFaults) {
    SCOPED_TRACE(named.name);
    EXPECT_EQ(tivaxemu::faultsForSession(named.sessions), named.fault);
    CountedFault counted;
    std::string error;
    ASSERT_TRUE(tivaxemu::parseCountedFault(named.name, counted, error)) << error;
    EXPECT_EQ(counted.fault, named.fault);
    EXPECT_EQ(counted.count, 1);
    ASSERT_TRUE(tivaxemu::parseCountedFault(std::string(named.name) + ":25", counted, error)) << error;
    EXPECT_EQ(counted.fault, named.fault);
    EXPECT_EQ(counted.count, 25);
  }
}

TEST(FaultByName, BadValuesAreRefusedWithTheReason) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"", "tipo de falha desconhecido"},
      {"voar", "tipo de falha desconhecido: \"voar\"; os tipos são eco crlf"},
      {"ECO", "tipo de falha desconhecido"},
      {":3", "tipo de falha desconhecido"},
      {"eco:", "número de chamadas inválido em \"eco:\""},
      {"eco:0", "número de chamadas inválido"},
      {"eco:-1", "número de chamadas inválido"},
      {"eco:2x", "número de chamadas inválido"},
      {"eco:99999999999", "número de chamadas inválido"},
      {"eco:1:2", "número de chamadas inválido"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CountedFault counted;
    std::string error;
    EXPECT_FALSE(tivaxemu::parseCountedFault(c.text, counted, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

// One emulator in process; each named fault is set through the control
// path and the next answer is seen to carry it, and only it.
TEST(FaultByName, ControlGivesEachFaultToTheNextAnswerOnly) {
  std::mutex mutex;
  std::condition_variable told;
  std::vector<Faults> answers;
  tivaxemu::Options options;
  options.observer = [&](tivaxemu::Traffic traffic, const std::string&, Faults faults) {
    if (traffic != tivaxemu::Traffic::Answer) return;
    std::lock_guard<std::mutex> lock(mutex);
    answers.push_back(faults);
    told.notify_all();
  };
  options.answerDelay = std::chrono::milliseconds(1);
  options.splitPause = std::chrono::milliseconds(1);
  tivaxemu::Emulator emulator(options);
  ASSERT_TRUE(emulator.start());
  std::unique_ptr<RawPort> port(new RawPort(emulator.terminalPath()));
  std::string portPath = emulator.terminalPath();
  int session = 0;
  // Sends one request and waits until the device has answered it.
  auto answered = [&]() -> Faults {
    if (emulator.terminalPath() != portPath) {  // after a hang-up
      portPath = emulator.terminalPath();
      port.reset(new RawPort(portPath));
    }
    port->send("4|" + std::to_string(100000 + ++session) + "\n");
    std::unique_lock<std::mutex> lock(mutex);
    const bool arrived = told.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return answers.size() >= static_cast<std::size_t>(session); });
    return arrived ? answers[static_cast<std::size_t>(session) - 1] : ~0u;
  };
  for (const auto& named : kNamedFaults) {
    SCOPED_TRACE(named.name);
    std::string outcome;
    ASSERT_TRUE(emulator.control(std::string("falha ") + named.name, outcome)) << outcome;
    EXPECT_EQ(outcome, std::string("falha ") + named.name + " na próxima chamada");
    EXPECT_EQ(answered(), named.fault);
    if (named.fault == tivaxemu::kHangUp) {
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (emulator.hangUps() == 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_EQ(emulator.hangUps(), 1u);
    }
    EXPECT_EQ(answered(), tivaxemu::kNoFault);
  }
  std::string outcome;
  EXPECT_TRUE(emulator.control("falha atraso:3", outcome));
  EXPECT_EQ(outcome, "falha atraso nas próximas 3 chamadas");
  EXPECT_FALSE(emulator.control("falha voar", outcome));
  EXPECT_NE(outcome.find("tipo de falha desconhecido"), std::string::npos) << outcome;
  EXPECT_FALSE(emulator.control("falha eco:0", outcome));
  EXPECT_FALSE(emulator.control("falha", outcome));
  EXPECT_NE(outcome.find("tipo de falha desconhecido"), std::string::npos) << outcome;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(answered(), tivaxemu::kDelay) << i;
  EXPECT_EQ(answered(), tivaxemu::kNoFault);
  emulator.stop();
}

// The program: counted faults from its command line, as they show on the
// wire, then one more through `tivax-emulator controle`.
TEST(FaultByName, TheProgramCountsEachFaultDown) {
  char pattern[] = "/tmp/tivax-falha-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string link = std::string(pattern) + "/ttyACM-sat";
  ChildProcess emulator(
      {TIVAX_EMULATOR_PROGRAM, "--link", link, "--falha", "eco:2", "--falha", "crlf"});
  ASSERT_TRUE(emulator.started());
  RawPort port(emulator.readLine());
  ASSERT_TRUE(port.ok());
  // Echoed twice, the first exchange's lines ended by CR LF too; then plain.
  port.send("4|000001\n");
  EXPECT_EQ(port.readLine(), "4|000001\r\n");
  std::string answer = port.readLine();
  EXPECT_EQ(answer.rfind("000001|08000|", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 2), "\r\n");
  port.send("4|000002\n");
  EXPECT_EQ(port.readLine(), "4|000002\n");
  answer = port.readLine();
  EXPECT_EQ(answer.rfind("000002|08000|", 0), 0u) << answer;
  EXPECT_NE(answer.substr(answer.size() - 2), "\r\n");
  port.send("4|000003\n");
  answer = port.readLine();
  EXPECT_EQ(answer.rfind("000003|08000|", 0), 0u) << answer;

  ChildProcess control({TIVAX_EMULATOR_PROGRAM, "controle", "--link", link, "falha", "outra-sessao:2"});
  EXPECT_EQ(control.readAll(), "ok: falha outra-sessao nas próximas 2 chamadas\n");
  EXPECT_EQ(control.wait(), 0);
  port.send("4|000005\n");
  EXPECT_EQ(port.readLine().rfind("000006|08000|", 0), 0u);
  port.send("4|000007\n");
  EXPECT_EQ(port.readLine().rfind("000008|08000|", 0), 0u);
  port.send("4|000009\n");
  EXPECT_EQ(port.readLine().rfind("000009|08000|", 0), 0u);
  ChildProcess refused({TIVAX_EMULATOR_PROGRAM, "controle", "--link", link, "falha", "voar"});
  EXPECT_EQ(refused.readAll().rfind("erro: tipo de falha desconhecido", 0), 0u);
  EXPECT_EQ(refused.wait(), 1);

  emulator.signal(SIGTERM);
  EXPECT_EQ(emulator.wait(), 0);
  rmdir(pattern);
}

TEST(FaultByName, TheProgramRefusesBadValuesWithStatus2) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--falha", "voar"}, "tivax-emulator: --falha: tipo de falha desconhecido: \"voar\""},
      {{"--falha", "eco:0"}, "tivax-emulator: --falha: número de chamadas inválido em \"eco:0\""},
      {{"--falha", "silencio:muitas"}, "número de chamadas inválido"},
      {{"--falha"}, "tivax-emulator: --falha: falta o TIPO[:N]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<std::string> argv = {TIVAX_EMULATOR_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess emulator(argv);
    ASSERT_TRUE(emulator.started());
    EXPECT_EQ(emulator.readAll(), "");  // no terminal was opened
    EXPECT_EQ(emulator.wait(), 2);
    EXPECT_NE(emulator.errorOutput().find(c.message), std::string::npos) << emulator.errorOutput();
  }
}

}  // namespace
