// SPDX-License-Identifier: MIT
// The device's answers and state, without the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "request_line.h"
#include "sat_device.h"

namespace tivaxemu {
namespace {

// 2023-11-14 22:13:20 UTC, 19:13:20 in Brasília.
const std::time_t kNow = 1700000000;
const char kCode[] = "12345678";
const char kSale[] =
    "<CFe><infCFe versaoDadosEnt=\"0.07\"><ide><CNPJ>16716114000172</CNPJ><signAC>x</signAC>"
    "<numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>61099008000141</CNPJ><IE>111111111111</IE>"
    "<indRatISSQN>N</indRatISSQN></emit><dest><CPF>12345678909</CPF></dest>"
    "<det nItem=\"1\"><prod><qCom>2.0000</qCom><vUnCom>3.25</vUnCom><vDesc>0.50</vDesc></prod></det>"
    "<det nItem=\"2\"><prod><qCom>1</qCom><vUnCom>10.00</vUnCom></prod></det>"
    "<total/><pgto><MP><cMP>01</cMP><vMP>20.00</vMP></MP></pgto></infCFe></CFe>";

SatDevice device() {
  return SatDevice(kCode, [] { return kNow; });
}

std::vector<std::string> fieldsOf(const std::string& line) { return splitFields(line); }

std::string ask(SatDevice& d, const std::string& line) {
  const SatDevice::Answer a = d.handle(line);
  EXPECT_TRUE(a.answered) << line;
  EXPECT_EQ(a.line.find_first_of("\r\n"), std::string::npos) << line;
  return a.line;
}

// Every function, with the right code: its success code and the number of
// fields the library decodes.
TEST(SatDevice, AnswersEveryFunction) {
  struct Case {
    std::string request;
    const char* code;
    std::size_t fields;
  } cases[] = {
      {"0|000001|1|12345678|61099008000141|35", "04000", 6},
      {"0|000002|2|12345678|61099008000141|35", "04000", 6},
      {"1|000003|12345678|MIIcertificado", "05000", 5},
      {"2|000004|12345678|" + std::string(kSale), "06000", 12},
      {"3|000005|12345678|CFe35231161099008000141599000040190000011126489|<CFeCanc/>", "07002", 6},
      {"4|000006", "08000", 5},
      {"5|000007|12345678|" + std::string(kSale), "09000", 9},
      {"6|000008|12345678", "10000", 28},
      {"7|000009|12345678|4", "06000", 12},
      {"8|000010|12345678|<config><tipoLan>IPFIX</tipoLan><lanIP>10.0.0.2</lanIP></config>",
       "12000", 5},
      {"9|000011|12345678|1671611400017261099008000141|assinatura", "13000", 5},
      {"10|000012|12345678", "14000", 5},
      {"11|000013|12345678", "15000", 6},
      {"12|000014|12345678", "16000", 5},
      {"13|000015|12345678", "17000", 5},
      {"14|000016|12345678|1|87654321|87654321", "18000", 5},
      {"15|000017|87654321", "06000", 12},
  };
  SatDevice d = device();
  for (const Case& c : cases) {
    const std::vector<std::string> fields = fieldsOf(ask(d, c.request));
    ASSERT_GE(fields.size(), 2u) << c.request;
    EXPECT_EQ(fields[1], c.code) << c.request;
    EXPECT_EQ(fields.size(), c.fields) << c.request;
  }
}

TEST(SatDevice, ExactLinesOfSimpleAnswers) {
  SatDevice d = device();
  EXPECT_EQ(ask(d, "4|000123"), "000123|08000|SAT em operação||");
  EXPECT_EQ(ask(d, "0|000001|1|12345678|61099008000141|35"),
            "000001|04000|Ativado corretamente|||Q1NSIDkwMDAwNDAxOSA2MTA5OTAwODAwMDE0MQ==");
  EXPECT_EQ(ask(d, "12|0000-5|12345678"), "0000-5|16000|Equipamento SAT bloqueado com sucesso.||");
  EXPECT_EQ(ask(d, "6|1234567|00000000"), "1234567|10001|Código de ativação inválido||");
}

TEST(SatDevice, SaleAnswerCarriesTheDocument) {
  SatDevice d = device();
  const std::vector<std::string> f = fieldsOf(ask(d, "2|000042|12345678|" + std::string(kSale)));
  ASSERT_EQ(f.size(), 12u);
  EXPECT_EQ(f[0], "000042");
  EXPECT_EQ(f[2], "0000");
  EXPECT_EQ(f[7], "20231114191320");
  // 35, 2311, the issuer, model 59, serial, number 1, code, check digit.
  EXPECT_EQ(f[8], "CFe35231161099008000141599000040190000011126480");
  EXPECT_EQ(f[9], "16.00");
  EXPECT_EQ(f[10], "12345678909");
  EXPECT_FALSE(f[6].empty());
  EXPECT_FALSE(f[11].empty());
}

TEST(SatDevice, WrongActivationCodeGivesTheFunctionsFirstError) {
  const std::vector<std::string> requests = {
      "0|000001|1|bad|61099008000141|35", "1|000001|bad|cert", "2|000001|bad|<CFe/>",
      "3|000001|bad|CFe1|<CFeCanc/>",     "5|000001|bad|<CFe/>", "6|000001|bad",
      "7|000001|bad|1",                    "8|000001|bad|<config/>", "9|000001|bad|1|2",
      "10|000001|bad",                     "11|000001|bad",       "12|000001|bad",
      "13|000001|bad",                     "14|000001|bad|1|a|a", "15|000001|bad",
  };
  SatDevice d = device();
  for (const std::string& request : requests) {
    Request parsed;
    ASSERT_EQ(parseRequest(request, parsed), ParseResult::kOk);
    const std::vector<std::string> f = fieldsOf(ask(d, request));
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02d001", parsed.function + 4);
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(f[1], expected) << request;
    // The sale and the cancellation carry CCCC before the message.
    const std::string& message = (parsed.function == 2 || parsed.function == 3) ? f[3] : f[2];
    EXPECT_EQ(message, "Código de ativação inválido") << request;
  }
  EXPECT_FALSE(d.blocked());
  EXPECT_EQ(d.activationCode(), kCode);
}

TEST(SatDevice, MalformedRequestsAreAnsweredWithErrors) {
  SatDevice d = device();
  EXPECT_EQ(fieldsOf(ask(d, "6|000001|12345678|extra"))[1], "10099");
  EXPECT_EQ(fieldsOf(ask(d, "4|000001|extra"))[1], "08099");
  EXPECT_EQ(fieldsOf(ask(d, "0|000001|7|12345678|1|35"))[1], "04099");
  EXPECT_EQ(fieldsOf(ask(d, "7|000001|12345678|x"))[1], "11099");
  EXPECT_EQ(ask(d, "16|000001|12345678"), "000001|99999|Função desconhecida||");
  EXPECT_EQ(fieldsOf(d.handle("2|000009|12345678|<CFe>", true).line)[1], "06099");
  EXPECT_FALSE(d.handle("").answered);
  EXPECT_FALSE(d.handle("garbage").answered);
}

TEST(SatDevice, BlockingShowsInTheStatusAndStopsSales) {
  SatDevice d = device();
  EXPECT_EQ(fieldsOf(ask(d, "6|000001|12345678")).back(), "0");
  ask(d, "12|000002|12345678");
  EXPECT_TRUE(d.blocked());
  EXPECT_EQ(fieldsOf(ask(d, "6|000003|12345678")).back(), "2") << "blocked by the taxpayer";
  EXPECT_EQ(fieldsOf(ask(d, "2|000004|12345678|" + std::string(kSale)))[1], "06006");
  ask(d, "13|000005|12345678");
  EXPECT_FALSE(d.blocked());
  EXPECT_EQ(fieldsOf(ask(d, "6|000006|12345678")).back(), "0");
  EXPECT_EQ(fieldsOf(ask(d, "2|000007|12345678|" + std::string(kSale)))[1], "06000");
}

TEST(SatDevice, ChangesTheActivationCodeOnlyWhenConfirmed) {
  SatDevice d = device();
  EXPECT_EQ(fieldsOf(ask(d, "14|000001|12345678|1|11111111|22222222"))[1], "18002");
  EXPECT_EQ(d.activationCode(), kCode);
  EXPECT_EQ(fieldsOf(ask(d, "14|000002|12345678|1||"))[1], "18002");
  EXPECT_EQ(fieldsOf(ask(d, "14|000003|12345678|1|11111111|11111111"))[1], "18000");
  EXPECT_EQ(d.activationCode(), "11111111");
  EXPECT_EQ(fieldsOf(ask(d, "6|000004|12345678"))[1], "10001");
  EXPECT_EQ(fieldsOf(ask(d, "6|000005|11111111"))[1], "10000");
}

TEST(SatDevice, ReplaysStoredSessions) {
  SatDevice d = device();
  const std::string consulta = ask(d, "4|000010");
  const std::string status = ask(d, "6|000011|12345678");
  EXPECT_EQ(ask(d, "7|000020|12345678|10"), consulta);
  EXPECT_EQ(ask(d, "7|000021|12345678|11"), status);
  EXPECT_EQ(ask(d, "7|000022|12345678|12"), "000022|11003|Sessão não existe||");
  // The session queries themselves are not stored.
  EXPECT_EQ(fieldsOf(ask(d, "7|000023|12345678|20"))[1], "11003");
  // A session number used again holds its latest answer.
  const std::string again = ask(d, "6|000010|bad");
  EXPECT_EQ(ask(d, "7|000024|12345678|10"), again);
}

TEST(SatDevice, ForgetsTheOldestSessionsBeyondItsMemory) {
  SatDevice d = device();
  for (int s = 1; s <= static_cast<int>(SatDevice::kStoredSessions) + 1; ++s)
    ask(d, "4|" + formatSession(s));
  EXPECT_EQ(fieldsOf(ask(d, "7|999999|12345678|1"))[1], "11003");
  EXPECT_EQ(fieldsOf(ask(d, "7|999999|12345678|2"))[1], "08000");
}

TEST(SatDevice, LastFiscalSessionAndCancellation) {
  SatDevice d = device();
  EXPECT_EQ(ask(d, "15|000001|12345678"), "000001|19003|Nenhuma sessão fiscal registrada||");
  const std::string sale = ask(d, "2|000002|12345678|" + std::string(kSale));
  const std::string key = fieldsOf(sale)[8];
  EXPECT_EQ(ask(d, "15|000003|12345678"), sale);

  EXPECT_EQ(fieldsOf(ask(d, "3|000004|12345678|CFe0|<CFeCanc/>"))[1], "07002");
  EXPECT_EQ(ask(d, "15|000005|12345678"), sale);

  const std::string cancel = ask(d, "3|000006|12345678|" + key + "|anything, not checked");
  const std::vector<std::string> f = fieldsOf(cancel);
  ASSERT_EQ(f.size(), 12u);
  EXPECT_EQ(f[1], "07000");
  EXPECT_NE(f[8], key);
  EXPECT_EQ(f[9], "16.00");
  EXPECT_EQ(ask(d, "15|000007|12345678"), cancel);
  // Only once.
  EXPECT_EQ(fieldsOf(ask(d, "3|000008|12345678|" + key + "|x"))[1], "07002");

  // The status names the first and the last document.
  const std::vector<std::string> status = fieldsOf(ask(d, "6|000009|12345678"));
  ASSERT_EQ(status.size(), 28u);
  EXPECT_EQ("CFe" + status[20], f[8]);
  EXPECT_EQ("CFe" + status[21], key);
  EXPECT_EQ("CFe" + status[22], f[8]);
}

TEST(SatDevice, NetworkConfigurationShowsInTheStatus) {
  SatDevice d = device();
  EXPECT_EQ(fieldsOf(ask(d, "8|000001|12345678|not xml"))[1], "12002");
  ask(d, "8|000002|12345678|<config><tipoLan>IPFIX</tipoLan><lanIP>10.0.0.2</lanIP>"
         "<lanGW>10.0.0.1</lanGW></config>");
  const std::vector<std::string> status = fieldsOf(ask(d, "6|000003|12345678"));
  EXPECT_EQ(status[6], "IPFIX");
  EXPECT_EQ(status[7], "10.0.0.2");
  EXPECT_EQ(status[9], "255.255.255.0");
  EXPECT_EQ(status[10], "10.0.0.1");
}

TEST(SatDevice, NeverBreaksOnArbitraryLines) {
  SatDevice d = device();
  std::uint32_t state = 2463534242u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  const char* prefixes[] = {"", "2|000001|12345678|", "7|000001|12345678|", "14|000001|", "8|1|12345678|"};
  for (int i = 0; i < 3000; ++i) {
    std::string line = prefixes[i % 5];
    const std::size_t length = next() % 200;
    for (std::size_t k = 0; k < length; ++k) {
      const char pool[] = "0123456789|-<>/CFe \r\xff";
      line += pool[next() % (sizeof pool - 1)];
    }
    const SatDevice::Answer a = d.handle(line);
    if (a.answered) {
      EXPECT_EQ(a.line.find('\n'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tivaxemu

namespace tivaxemu {
namespace {

TEST(SatDevice, AnyClockGivesWellFormedAnswers) {
  for (std::time_t t : {std::numeric_limits<std::time_t>::min(), std::time_t{-1}, std::time_t{0},
                        std::numeric_limits<std::time_t>::max()}) {
    SatDevice d(kCode, [t] { return t; });
    EXPECT_EQ(fieldsOf(ask(d, "6|000001|12345678")).size(), 28u) << t;
    const std::vector<std::string> sale = fieldsOf(ask(d, "2|000002|12345678|" + std::string(kSale)));
    ASSERT_EQ(sale.size(), 12u) << t;
    EXPECT_EQ(sale[7].size(), 14u) << t;
    EXPECT_EQ(sale[8].size(), 47u) << t;
  }
}

}  // namespace
}  // namespace tivaxemu
