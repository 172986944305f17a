// SPDX-License-Identifier: MIT
// The emulator as the library meets it: a terminal path, lines in, lines out.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulator.h"
#include "emulator/raw_port.h"

namespace tivaxemu {
namespace {

using namespace std::chrono_literals;
using Port = tivaxtest::RawPort;

// A generous bound on waits that only fail when the emulator is stuck.
const auto kStuck = 10s;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tivaxemu-test-XXXXXX";
    path = mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() { ::rmdir(path.c_str()); }
  std::string path;
};

// Waits (bounded) for a condition the emulator's thread brings about.
template <class Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kStuck;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

Options fastOptions(const std::string& link) {
  Options o;
  o.linkPath = link;
  o.clock = [] { return std::time_t{1700000000}; };
  o.splitPause = 5ms;
  o.answerDelay = 50ms;
  return o;
}

TEST(EmulatorOnTerminal, AnswersAndRecordsWhatArrived) {
  TempDir dir;
  Emulator emulator(fastOptions(dir.path + "/port"));
  ASSERT_TRUE(emulator.start());
  EXPECT_EQ(emulator.portPath(), dir.path + "/port");
  Port port(emulator.portPath());
  ASSERT_TRUE(port.ok());

  // The terminal may turn the library's LF into CR LF.
  port.send("4|000001\r\n");
  EXPECT_EQ(port.readLine(), "000001|08000|SAT em operação||\n");
  EXPECT_EQ(emulator.requestCount(), 1u);
  EXPECT_EQ(emulator.lastRequest(), "4|000001");

  // Two requests in one write: two answers in order. Inner CRs are kept.
  port.send("12|000002|12345678\n6|000003|1234\r5678\n");
  EXPECT_EQ(port.readLine(), "000002|16000|Equipamento SAT bloqueado com sucesso.||\n");
  EXPECT_EQ(port.readLine(), "000003|10001|Código de ativação inválido||\n");
  EXPECT_EQ(emulator.requestCount(), 3u);
  EXPECT_EQ(emulator.lastRequest(), "6|000003|1234\r5678");
  EXPECT_TRUE(emulator.blocked());

  emulator.resetDevice();
  EXPECT_FALSE(emulator.blocked());
  EXPECT_EQ(emulator.requestCount(), 3u);

  emulator.stop();
  EXPECT_EQ(::access((dir.path + "/port").c_str(), F_OK), -1);
}

TEST(EmulatorOnTerminal, TakesMegabyteLinesAndCapsLongerOnes) {
  TempDir dir;
  Options options = fastOptions(dir.path + "/port");
  options.maxRequestBytes = 1 << 20;
  Emulator emulator(options);
  ASSERT_TRUE(emulator.start());
  Port port(emulator.portPath());

  const std::string sale =
      "<CFe><infCFe versaoDadosEnt=\"0.07\"><!--" + std::string((1 << 20) - 2000, 'x') +
      "--><ide><CNPJ>16716114000172</CNPJ><signAC>x</signAC><numeroCaixa>001</numeroCaixa></ide>"
      "<emit><CNPJ>61099008000141</CNPJ><IE>111111111111</IE><indRatISSQN>N</indRatISSQN></emit>"
      "<dest/><det nItem=\"1\"><prod><cProd>1</cProd><xProd>Item</xProd><CFOP>5102</CFOP>"
      "<uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>2.50</vUnCom><indRegra>A</indRegra></prod>"
      "<imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS>"
      "<PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS>"
      "</imposto></det><total/><pgto><MP><cMP>01</cMP><vMP>2.50</vMP></MP></pgto>"
      "</infCFe></CFe>";
  const std::string request = "2|000001|12345678|" + sale;
  ASSERT_LE(request.size(), options.maxRequestBytes);
  port.send(request + "\n");
  std::string answer = port.readLine();
  EXPECT_EQ(answer.substr(0, 19), "000001|06000|0000|E");
  EXPECT_EQ(emulator.lastRequest(), request);

  port.send("2|000002|12345678|" + std::string(3 << 20, 'y') + "\n4|000003\n");
  EXPECT_EQ(port.readLine(), "000002|06099|0000|Requisição excede o tamanho máximo||\n");
  EXPECT_EQ(port.readLine(), "000003|08000|SAT em operação||\n");
  EXPECT_EQ(emulator.requestCount(), 3u);
}

TEST(EmulatorOnTerminal, SurvivesBinaryNoise) {
  TempDir dir;
  Emulator emulator(fastOptions(dir.path + "/port"));
  ASSERT_TRUE(emulator.start());
  Port port(emulator.portPath());
  std::string noise;
  std::uint32_t state = 88172645u;
  for (int i = 0; i < 200000; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    noise += static_cast<char>(state & 0xff);
  }
  port.send(noise);
  port.send("\n4|000777\n");
  // Whatever the noise drew as answers comes first; ours must follow.
  std::string line;
  for (int i = 0; i < 10000 && line.rfind("000777|", 0) != 0; ++i) {
    line = port.readLine();
    if (line.empty()) break;
  }
  EXPECT_EQ(line, "000777|08000|SAT em operação||\n");
}

TEST(EmulatorOnTerminal, FaultsChosenBySessionNumber) {
  TempDir dir;
  Emulator emulator(fastOptions(dir.path + "/port"));
  ASSERT_TRUE(emulator.start());
  Port port(emulator.portPath());

  const std::string ok = "|08000|SAT em operação||";
  port.send("4|9000001\n");
  EXPECT_EQ(port.readLine(), "4|9000001\n");
  EXPECT_EQ(port.readLine(), "9000001" + ok + "\n");
  port.send("4|9000102\n");
  EXPECT_EQ(port.readLine(), "9000102" + ok + "\r\n");
  port.send("4|9000203\n");
  EXPECT_EQ(port.readLine(), "9000203" + ok + "\n");
  port.send("4|9000304\n");
  EXPECT_EQ(port.readLine(), "9000304" + ok + "\n");
  port.send("4|9000805\n");
  EXPECT_EQ(port.readLine(), "9000806" + ok + "\n");

  port.send("4|9000606\n");
  const std::string garbage = port.readLine();
  EXPECT_EQ(garbage.find('|'), std::string::npos);
  EXPECT_EQ(garbage.back(), '\n');

  port.send("4|9000707\n");
  const std::string big = port.readLine();
  EXPECT_EQ(big.size(), std::size_t{3} << 20);
  EXPECT_EQ(big.rfind("9000707" + ok + "|AAAA", 0), 0u);

  // Silence: nothing comes, so the next answer is the next line read.
  port.send("4|9000408\n");
  ASSERT_TRUE(eventually([&] { return emulator.requestCount() == 8; }));
  port.send("4|000009\n");
  EXPECT_EQ(port.readLine(), "000009" + ok + "\n");
}

TEST(EmulatorOnTerminal, FaultsForEveryRequestOfARun) {
  TempDir dir;
  Options options = fastOptions(dir.path + "/port");
  options.faults = kEcho | kCrLf;
  Emulator emulator(options);
  ASSERT_TRUE(emulator.start());
  Port port(emulator.portPath());
  port.send("4|000001\n");
  EXPECT_EQ(port.readLine(), "4|000001\r\n");
  EXPECT_EQ(port.readLine(), "000001|08000|SAT em operação||\r\n");
}

TEST(EmulatorOnTerminal, HangUpMovesTheLinkToANewTerminal) {
  TempDir dir;
  Emulator emulator(fastOptions(dir.path + "/port"));
  ASSERT_TRUE(emulator.start());
  const std::string first = emulator.terminalPath();
  {
    Port port(emulator.portPath());
    port.send("4|9000500\n");
    const std::string half = port.readLine();
    EXPECT_LT(half.size(), std::string("9000500|08000|SAT em operação||\n").size());
    EXPECT_EQ(half.find('\n'), std::string::npos);
    ASSERT_TRUE(eventually([&] { return emulator.hangUps() == 1; }));
  }
  EXPECT_NE(emulator.terminalPath(), first);
  char target[256] = {0};
  ASSERT_GT(::readlink(emulator.portPath().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(target, emulator.terminalPath());

  Port again(emulator.portPath());
  again.send("4|000002\n");
  EXPECT_EQ(again.readLine(), "000002|08000|SAT em operação||\n");
}

// The library flushes its input and sends anew when it gives up on an
// answer; what the emulator had not yet sent of the old answer must not
// follow the new one.
TEST(EmulatorOnTerminal, NewRequestDropsTheUnsentRestOfAnOldAnswer) {
  TempDir dir;
  Emulator emulator(fastOptions(dir.path + "/port"));
  ASSERT_TRUE(emulator.start());
  Port port(emulator.portPath());
  port.send("6|9000700|12345678\n");
  ASSERT_EQ(port.readBytes(65536).size(), 65536u);
  port.send("4|000002\n");
  const std::string rest = port.readLine();
  EXPECT_LT(rest.size(), std::size_t{3} << 20);
  const std::string answer = "000002|08000|SAT em operação||\n";
  ASSERT_GE(rest.size(), answer.size());
  EXPECT_EQ(rest.substr(rest.size() - answer.size()), answer);
}

}  // namespace
}  // namespace tivaxemu
