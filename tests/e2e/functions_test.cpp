// SPDX-License-Identifier: MIT
// Every SAT function through the exported C interface, over the terminal,
// against the emulated device.
#include <functional>
#include <locale>
#include <string>
#include <thread>
#include <vector>

#include "e2e_documents.h"
#include "e2e_link.h"
#include "request_line.h"
#include "sat_device.h"
#include "tivax.h"

namespace tivaxe2e {
namespace {

using Functions = LinkedTest;

std::vector<std::string> fieldsOf(const std::string& line) { return tivaxemu::splitFields(line); }

// The configuration as the library rewrites it: addresses without leading
// zeros, one element per line indented by a tab (line feeds removed on the
// way).
const char kNetwork[] =
    "<config><tipoInter>ETHE</tipoInter><tipoLan>IPFIX</tipoLan>"
    "<lanIP>192.168.001.020</lanIP><lanMask>255.255.255.000</lanMask>"
    "<lanGW>192.168.001.001</lanGW></config>";
const char kNetworkSent[] =
    "<?xml version=\"1.0\"?><config>\t<tipoInter>ETHE</tipoInter>\t<tipoLan>IPFIX</tipoLan>"
    "\t<lanIP>192.168.1.20</lanIP>\t<lanMask>255.255.255.0</lanMask>"
    "\t<lanGW>192.168.1.1</lanGW></config>";

TEST_F(Functions, EverySatFunctionSendsItsLineAndReturnsTheAnswer) {
  struct Call {
    const char* name;
    std::function<char*()> call;
    std::string request;  // exactly as the device receives it
    std::string answer;   // exactly as returned; "" for the long ones, which
                          // a second device fed the same lines predicts
  } calls[] = {
      {"AtivarSAT", [] { return AtivarSAT(101, 1, kCode, "58473629000139", 35); },
       "0|000101|1|12345678|58473629000139|35", ""},
      {"ComunicarCertificadoICPBRASIL",
       [] { return ComunicarCertificadoICPBRASIL(102, kCode, "MIIBcertificado"); },
       "1|000102|12345678|MIIBcertificado", "000102|05000|Certificado transmitido com sucesso||"},
      {"EnviarDadosVenda", [] { return EnviarDadosVenda(103, kCode, kSale.c_str()); },
       "2|000103|12345678|" + kSale, ""},
      {"CancelarUltimaVenda",
       [] { return CancelarUltimaVenda(104, kCode, kFirstKey.c_str(), kCancellation.c_str()); },
       "3|000104|12345678|" + kFirstKey + "|" + kCancellation, ""},
      {"ConsultarSAT", [] { return ConsultarSAT(105); }, "4|000105",
       "000105|08000|SAT em operação||"},
      {"TesteFimAFim", [] { return TesteFimAFim(106, kCode, kSale.c_str()); },
       "5|000106|12345678|" + kSale, ""},
      {"ConsultarStatusOperacional", [] { return ConsultarStatusOperacional(107, kCode); },
       "6|000107|12345678", ""},
      // Devices keep only the preceding session.
      {"ConsultarNumeroSessao", [] { return ConsultarNumeroSessao(108, kCode, 107); },
       "7|000108|12345678|107", ""},
      {"ConfigurarInterfaceDeRede",
       [] { return ConfigurarInterfaceDeRede(109, kCode, kNetwork); },
       std::string("8|000109|12345678|") + kNetworkSent, "000109|12000|Rede Configurada com Sucesso||"},
      {"AssociarAssinatura",
       [] { return AssociarAssinatura(110, kCode, "2143658700015658473629000139", "assinatura"); },
       "9|000110|12345678|2143658700015658473629000139|assinatura",
       "000110|13000|Assinatura do AC Registrada||"},
      {"AtualizarSoftwareSAT", [] { return AtualizarSoftwareSAT(111, kCode); },
       "10|000111|12345678", "000111|14000|Software Atualizado com Sucesso||"},
      {"ExtrairLogs", [] { return ExtrairLogs(112, kCode); }, "11|000112|12345678", ""},
      {"BloquearSAT", [] { return BloquearSAT(113, kCode); }, "12|000113|12345678",
       "000113|16000|Equipamento SAT bloqueado com sucesso.||"},
      {"DesbloquearSAT", [] { return DesbloquearSAT(114, kCode); }, "13|000114|12345678",
       "000114|17000|Equipamento SAT desbloqueado com sucesso.||"},
      {"TrocarCodigoDeAtivacao",
       [] { return TrocarCodigoDeAtivacao(115, kCode, 1, "87654321", "87654321"); },
       "14|000115|12345678|1|87654321|87654321",
       "000115|18000|Código de ativação alterado com sucesso.||"},
      {"ConsultarUltimaSessaoFiscal", [] { return ConsultarUltimaSessaoFiscal(116, "87654321"); },
       "15|000116|87654321", ""},
  };

  tivaxemu::SatDevice twin(kCode, [] { return kDeviceTime; });
  for (const Call& c : calls) {
    const std::uint64_t before = device().requestCount();
    const std::string result = take(c.call());
    EXPECT_EQ(device().requestCount(), before + 1) << c.name;
    EXPECT_EQ(device().lastRequest(), c.request) << c.name;
    const std::string predicted = twin.handle(c.request).line;
    EXPECT_EQ(result, c.answer.empty() ? predicted : c.answer) << c.name;
  }
}

TEST_F(Functions, LongAnswersKeepEveryField) {
  const std::vector<std::string> sale = fieldsOf(take(EnviarDadosVenda(201, kCode, kSale.c_str())));
  ASSERT_EQ(sale.size(), 12u);
  EXPECT_EQ(sale[0], "000201");
  EXPECT_EQ(sale[1], "06000");
  EXPECT_EQ(sale[2], "0000");
  EXPECT_EQ(sale[7], "20231114191320");
  EXPECT_EQ(sale[8], kFirstKey);
  EXPECT_EQ(sale[9], "37.80");
  EXPECT_EQ(sale[10], "12345678909");

  const std::vector<std::string> test = fieldsOf(take(TesteFimAFim(202, kCode, kSale.c_str())));
  ASSERT_EQ(test.size(), 9u);
  EXPECT_EQ(test[1], "09000");
  // A test document has no number.
  EXPECT_EQ(test[7], "000000");

  const std::vector<std::string> status = fieldsOf(take(ConsultarStatusOperacional(203, kCode)));
  ASSERT_EQ(status.size(), 28u);
  EXPECT_EQ(status[1], "10000");
  EXPECT_EQ("CFe" + status[20], kFirstKey);
  EXPECT_EQ(status[27], "0");

  const std::vector<std::string> logs = fieldsOf(take(ExtrairLogs(204, kCode)));
  ASSERT_EQ(logs.size(), 6u);
  EXPECT_EQ(logs[1], "15000");
  EXPECT_FALSE(logs[5].empty());
}

TEST_F(Functions, WrongActivationCodeComesBackAsTheDevicesError) {
  struct Case {
    std::function<char*()> call;
    std::string answer;
  } cases[] = {
      {[] { return ConsultarStatusOperacional(301, "00000000"); },
       "000301|10001|Código de ativação inválido||"},
      {[] { return EnviarDadosVenda(302, "00000000", kSale.c_str()); },
       "000302|06001|0000|Código de ativação inválido||"},
      {[] { return BloquearSAT(303, "00000000"); }, "000303|16001|Código de ativação inválido||"},
      {[] { return ConsultarUltimaSessaoFiscal(304, "00000000"); },
       "000304|19001|Código de ativação inválido||"},
  };
  for (const Case& c : cases) EXPECT_EQ(take(c.call()), c.answer);
  EXPECT_FALSE(device().blocked());
}

TEST_F(Functions, SessionQueriesReturnAnotherSessionsWholeLine) {
  const std::string status = take(ConsultarStatusOperacional(401, kCode));
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(take(ConsultarNumeroSessao(402, kCode, 401)), status);
  EXPECT_EQ(take(ConsultarNumeroSessao(403, kCode, 999)), "000403|11003|Sessão não existe||");
  EXPECT_EQ(take(ConsultarUltimaSessaoFiscal(404, kCode)),
            "000404|19003|Nenhuma sessão fiscal registrada||");
}

// consultaBloqueio reads the state from one status query with the caller's
// code: a device that counts wrong codes never sees one from it.
TEST_F(Functions, ConsultaBloqueioAsksOnceWithTheCallersCode) {
  for (const bool blocked : {false, true}) {
    if (blocked) {
      ASSERT_EQ(fieldsOf(take(BloquearSAT(505, kCode)))[1], "16000");
    }
    const std::uint64_t before = device().requestCount();
    EXPECT_EQ(consultaBloqueio(kCode), blocked ? 1 : 0);
    EXPECT_EQ(device().requestCount(), before + 1);
    const std::vector<std::string> last = fieldsOf(device().lastRequest());
    ASSERT_EQ(last.size(), 3u);
    EXPECT_EQ(last[0], "6");
    EXPECT_EQ(last[2], kCode);
  }
}

// Digit grouping, as a till's locale may have it.
struct Grouped : std::numpunct<char> {
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

// The application's global locale changes nothing the library writes.
TEST_F(Functions, NumbersIgnoreTheApplicationsLocale) {
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Grouped));
  const std::string status = take(ConsultarStatusOperacional(123456, kCode));
  const std::string request = device().lastRequest();
  const std::string refusal = take(EnviarDadosVenda(1234567, kCode, "not xml"));
  std::locale::global(previous);
  EXPECT_EQ(request, "6|123456|12345678");
  EXPECT_EQ(status.substr(0, 13), "123456|10000|");
  EXPECT_EQ(refusal, "1234567|06010|1999|Erro no XML: ||");
}

TEST_F(Functions, InitTwiceDeInitAndBackAgain) {
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(take(ConsultarSAT(601)), "000601|08000|SAT em operação||");
  EXPECT_EQ(TivaxlibDeInit(), 1);
  EXPECT_EQ(TivaxlibDeInit(), 1);
  // The link is closed: the first call opens it again and goes on.
  const std::uint64_t before = device().requestCount();
  EXPECT_EQ(take(ConsultarSAT(602)), "000602|08000|SAT em operação||");
  EXPECT_EQ(device().requestCount(), before + 1);
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(take(ConsultarSAT(604)), "000604|08000|SAT em operação||");
}

TEST_F(Functions, ThreadsCallingAtOnceEachGetTheirOwnAnswer) {
  const int kThreads = 4, kCalls = 8;
  std::vector<std::vector<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &results] {
      for (int i = 0; i < kCalls; ++i) {
        const int session = 700 + t * 10 + i;
        results[t].push_back(take(t % 2 ? ConsultarSAT(session)
                                        : ConsultarStatusOperacional(session, kCode)));
      }
    });
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kCalls; ++i) {
      const std::vector<std::string> f = fieldsOf(results[t][i]);
      ASSERT_GE(f.size(), 2u) << t << " " << i;
      EXPECT_EQ(f[0], tivaxemu::formatSession(700 + t * 10 + i));
      EXPECT_EQ(f[1], t % 2 ? "08000" : "10000");
    }
}

}  // namespace
}  // namespace tivaxe2e
