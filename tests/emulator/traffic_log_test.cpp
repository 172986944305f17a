// SPDX-License-Identifier: MIT
// What --verbose shows of a request and an answer: no code that unlocks
// the device, no field long enough to bury the line.
#include "traffic_log.h"

#include <gtest/gtest.h>

#include <string>

#include "request_line.h"
#include "result_codes.h"
#include "sat_device.h"

namespace tivaxemu {
namespace {

const std::string kLong(300, 'x');
const std::string kLongShown = std::string(64, 'x') + "...(300 bytes)";

TEST(TrafficLog, RequestsShowNoCodeAndNoBulk) {
  const struct {
    std::string line;
    std::string shown;
  } cases[] = {
      {"0|000001|1|12345678|11111111111111|35", "0|000001|1|********|11111111111111|35"},
      {"1|000002|12345678|MIIBcert", "1|000002|********|MIIBcert...(8 bytes)"},
      {"2|000003|12345678|" + kLong, "2|000003|********|" + kLongShown},
      {"2|000003|12345678|" + std::string(256, 'v'), "2|000003|********|" + std::string(256, 'v')},
      {"4|000004", "4|000004"},
      {"7|000005|12345678|123", "7|000005|********|123"},
      {"9|000006|12345678|1111111111111122222222222222|c2ln",
       "9|000006|********|1111111111111122222222222222|c2ln...(4 bytes)"},
      {"14|000007|87654321|2|abcdefgh|abcdefgh", "14|000007|********|2|********|********"},
      {"15|000008|12345678", "15|000008|********"},
      // A code with a "|" moves every field after it: nothing can be shown.
      {"6|000009|1234|5678", "6|000009|********|********"},
      {"14|000010|12345678|1|ab|cd|abcd", "14|000010|********|********|********|********|********"},
      {"16|000011|12345678", "16|000011|********"},
      {"6|abc|12345678", "6|abc|********"},
      {"sem separador", "sem separador"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(reportedRequest(c.line), c.shown) << c.line;
}

// The positions masked are those the device reads the code from. Of the
// parameter counts 0 to 4, the device takes one per function; with the code
// in the fields the report masks, and "0" in the others, that request gets
// past the device's code check. No function has two parameters that are
// both codes of the device, so a report that keeps none of two or more
// was not aligned with the function's fields.
TEST(TrafficLog, MaskedPositionsAreWhereTheDeviceReadsTheCode) {
  const std::string code = "12345678";
  for (int function = 0; function < kSatFunctionCount; ++function) {
    SCOPED_TRACE(function);
    int taken = 0;
    for (int count = 0; count <= 4; ++count) {
      const std::string head = std::to_string(function) + "|000100";
      std::string probe = head, withCode = head;
      for (int i = 0; i < count; ++i) probe += "|p" + std::to_string(i);
      const std::string report = reportedRequest(probe);
      int kept = 0;
      for (int i = 0; i < count; ++i) {
        const bool masked = report.find("|p" + std::to_string(i)) == std::string::npos;
        kept += masked ? 0 : 1;
        withCode += "|" + (masked ? code : std::string("0"));
      }
      SatDevice device(code, [] { return std::time_t{1700000000}; });
      const std::string answer = device.handle(withCode).line;
      if (answer.find("Quantidade de parâmetros inválida") != std::string::npos) continue;
      ++taken;
      EXPECT_EQ(answer.find("Código de ativação inválido"), std::string::npos) << report << " -> " << answer;
      if (count >= 2) {
        EXPECT_GT(kept, 0) << report;
      }
    }
    EXPECT_EQ(taken, 1);
  }
}

TEST(TrafficLog, AnswersHaveTheirLongFieldsShortened) {
  EXPECT_EQ(reportedAnswer("000001|06000|0000|ok|||" + kLong + "|20261208|" + kLong),
            "000001|06000|0000|ok|||" + kLongShown + "|20261208|" + kLongShown);
  EXPECT_EQ(reportedAnswer("000002|08000|SAT em operação||"), "000002|08000|SAT em operação||");
}

TEST(TrafficLog, ShorteningNeverSplitsACharacter) {
  // "ç" is two bytes; byte 64 would fall inside it.
  const std::string field = std::string(63, 'a') + "\xc3\xa7" + std::string(300, 'b');
  EXPECT_EQ(shortenedField(field), std::string(63, 'a') + "...(365 bytes)");
  EXPECT_EQ(shortenedField("ab", true), "ab...(2 bytes)");
}

TEST(TrafficLog, ReportsAreOneLine) {
  EXPECT_EQ(printable("a\rb\tc\x01\\d\x7f"), "a\\rb\\tc\\x01\\\\d\\x7f");
  EXPECT_EQ(printable("ação"), "ação");
  EXPECT_EQ(faultNames(kNoFault), "");
  EXPECT_EQ(faultNames(kEcho | kSilence), "eco, silêncio");
}

}  // namespace
}  // namespace tivaxemu
