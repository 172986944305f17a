// SPDX-License-Identifier: MIT
// tivax-emulator --verbose as a technician runs it: one line per request
// and per answer on standard error, and no code that unlocks the device.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emulator/child_process.h"
#include "emulator/raw_port.h"

namespace {

using tivaxtest::ChildProcess;
using tivaxtest::occurrences;

// The application's side of the link: one request line out, the answer
// line back (without its line feed).
class Link : public tivaxtest::RawPort {
 public:
  using RawPort::RawPort;
  std::string exchange(const std::string& request) {
    send(request + "\n");
    std::string line = readLine();
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
  }
};

std::string oneLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string xml = text.str();
  std::string line;
  for (const char c : xml)
    if (c != '\n') line += c;  // as the library sends it
  return line;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

TEST(VerboseEmulator, ReportsEveryRequestAndAnswerWithTheCodesMasked) {
  ChildProcess emulator({TIVAX_EMULATOR_PROGRAM, "--verbose", "--codigo", "12345678"});
  ASSERT_TRUE(emulator.started());
  const std::string port = emulator.readLine();
  ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
  Link link(port);
  ASSERT_TRUE(link.ok());

  const std::string certificate(1000, 'A');
  const std::string sale = oneLine(std::string(TIVAX_EXAMPLES_DIR) + "/venda-minima.xml");
  EXPECT_EQ(link.exchange("6|000321|12345678").rfind("000321|10000|", 0), 0u);
  EXPECT_EQ(link.exchange("1|000322|12345678|" + certificate).rfind("000322|05", 0), 0u);
  EXPECT_EQ(link.exchange("2|000323|12345678|" + sale).rfind("000323|06000|", 0), 0u);
  link.send("4|9000400\n");  // a session that makes the device keep silent
  EXPECT_EQ(link.exchange("14|000324|12345678|1|abcdefgh|abcdefgh").rfind("000324|18000|", 0), 0u);
  emulator.signal(SIGTERM);
  ASSERT_EQ(emulator.wait(), 0);

  const std::string report = emulator.errorOutput();
  EXPECT_EQ(report.find("12345678"), std::string::npos) << report;
  EXPECT_EQ(report.find("abcdefgh"), std::string::npos) << report;
  const std::vector<std::string> shown = lines(report);
  ASSERT_EQ(shown.size(), 10u) << report;
  EXPECT_EQ(shown[0], "<- 6|000321|********");
  EXPECT_EQ(shown[1].rfind("-> 000321|10000|Resposta com Sucesso.|", 0), 0u) << shown[1];
  EXPECT_EQ(shown[2], "<- 1|000322|********|" + std::string(64, 'A') + "...(1000 bytes)");
  EXPECT_EQ(shown[4].rfind("<- 2|000323|********|<?xml", 0), 0u) << shown[4];
  EXPECT_NE(shown[4].find("...(" + std::to_string(sale.size()) + " bytes)"), std::string::npos) << shown[4];
  // The signed CF-e and the signature of the sale's answer, shortened.
  EXPECT_EQ(shown[5].rfind("-> 000323|06000|0000|", 0), 0u) << shown[5];
  EXPECT_EQ(occurrences(shown[5], " bytes)"), 2u) << shown[5];
  EXPECT_EQ(shown[6], "<- 4|9000400");
  EXPECT_EQ(shown[7].rfind("-> 9000400|08000|", 0), 0u) << shown[7];
  EXPECT_NE(shown[7].find("[falha: silêncio]"), std::string::npos) << shown[7];
  EXPECT_EQ(shown[8], "<- 14|000324|********|1|********|********");
  for (const std::string& line : shown) EXPECT_LT(line.size(), 700u) << line;
}

TEST(VerboseEmulator, ARejectionIsFollowedByItsRuleAndElement) {
  ChildProcess emulator({TIVAX_EMULATOR_PROGRAM, "--verbose"});
  ASSERT_TRUE(emulator.started());
  Link link(emulator.readLine());
  ASSERT_TRUE(link.ok());
  std::string sale = oneLine(std::string(TIVAX_EXAMPLES_DIR) + "/venda-minima.xml");
  sale.replace(sale.find("<cMP>01"), 7, "<cMP>07");
  EXPECT_EQ(link.exchange("2|000001|12345678|" + sale),
            "000001|06010|1527|Rejeição 1527: código do meio de pagamento inválido "
            "(pgto/MP[1]/cMP = 07)||");
  emulator.signal(SIGTERM);
  ASSERT_EQ(emulator.wait(), 0);
  const std::vector<std::string> shown = lines(emulator.errorOutput());
  ASSERT_EQ(shown.size(), 3u) << emulator.errorOutput();
  EXPECT_EQ(shown[2], "   regra 1527 (meio de pagamento): pgto/MP[1]/cMP");
}

TEST(VerboseEmulator, QuietWithoutTheOption) {
  ChildProcess emulator({TIVAX_EMULATOR_PROGRAM});
  ASSERT_TRUE(emulator.started());
  Link link(emulator.readLine());
  ASSERT_TRUE(link.ok());
  EXPECT_EQ(link.exchange("4|000001").rfind("000001|08000|", 0), 0u);
  emulator.signal(SIGTERM);
  ASSERT_EQ(emulator.wait(), 0);
  EXPECT_EQ(emulator.errorOutput(), "");
}

// A second emulator on the --link of a live one is refused, and leaves the
// first one's link alone; once the first has ended, the link is free again.
TEST(EmulatorProgram, ALiveEmulatorsLinkIsNotTakenTwice) {
  char pattern[] = "/tmp/tivax-emulink-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string link = std::string(pattern) + "/ttyACM-sat";
  ChildProcess first({TIVAX_EMULATOR_PROGRAM, "--link", link});
  ASSERT_TRUE(first.started());
  const std::string terminal = first.readLine();
  ASSERT_FALSE(terminal.empty());
  {
    ChildProcess second({TIVAX_EMULATOR_PROGRAM, "--link", link});
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.errorOutput().find("já é de outro emulador em execução"), std::string::npos)
        << second.errorOutput();
  }
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << "the first one's link is gone";
  EXPECT_EQ(std::string(target), terminal);
  Link linked(link);
  ASSERT_TRUE(linked.ok());
  EXPECT_EQ(linked.exchange("4|000001").rfind("000001|08000|", 0), 0u);
  first.signal(SIGTERM);
  ASSERT_EQ(first.wait(), 0);

  ChildProcess third({TIVAX_EMULATOR_PROGRAM, "--link", link});
  ASSERT_TRUE(third.started());
  EXPECT_FALSE(third.readLine().empty());
  third.signal(SIGTERM);
  EXPECT_EQ(third.wait(), 0);
  rmdir(pattern);
}

}  // namespace
