// SPDX-License-Identifier: MIT
// The road of every call through the exported functions and the device
// object, against a scripted channel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/tivax.h"
#include "support/scripted_channel.h"
#include "tivax.h"

using tivaxtest::fieldsOf;
using tivaxtest::Script;

namespace {

std::string take(char* s) {
  EXPECT_NE(s, nullptr);
  std::string copy = s ? s : "";
  DesalocarString(s);
  return copy;
}

// A well-formed answer for any request: session|code|message|0|sefaz plus
// the payload fields of the functions that have them.
std::string answerFor(const std::string& request) {
  const std::vector<std::string> f = fieldsOf(request);
  const std::string s = f.size() > 1 ? f[1] : "0";
  const int id = std::stoi(f[0]);
  static const char* codes[] = {"04000", "05000", "06000", "07000", "08000", "09000",
                                "10000", "11000", "12000", "13000", "14000", "15000",
                                "16000", "17000", "18000", "19000"};
  if (id == 2 || id == 3) return s + "|" + codes[id] + "|0000|ok|0|sefaz|b64|ts|chave|10.00|cpf|qr\n";
  std::string line = s + "|" + codes[id] + "|ok|0|sefaz";
  if (id == 0) line += "|csr";
  if (id == 5) line += "|b64|ts|42|chave";
  if (id == 6) line += "|a|b|c";
  if (id == 11) line += "|log";
  return line + "\n";
}

class Facade : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    script = std::make_shared<Script>();
    Tivaxlib::Tivax::instance().setChannelFactory(tivaxtest::scriptedFactory(script));
  }
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(script->mutex);
      script->answer = answerFor;
      script->opens = true;
      script->requests.clear();
      script->ports.clear();
    }
    TivaxlibDeInit();
    ASSERT_EQ(ConfigurarPortaSerial("scripted0"), 1);
  }
  void answerWith(std::function<std::string(const std::string&)> f) {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->answer = std::move(f);
  }
  // A device that sends `text` once for each request, then stays silent.
  void answerOnceWith(std::string text) {
    auto served = std::make_shared<size_t>(0);
    answerWith([text, served](const std::string&) {
      const size_t sent = script->sentCount();
      if (*served == sent) return std::string();
      *served = sent;
      return text;
    });
  }
  static std::shared_ptr<Script> script;
};
std::shared_ptr<Script> Facade::script;

struct Call {
  const char* name;
  std::function<char*()> call;
  std::string request;  // the line the device must receive
  std::string result;   // what the application must get back
};

TEST_F(Facade, EveryFunctionSendsItsLineAndReturnsTheAnswer) {
  const char* c = "12345678";
  const std::vector<Call> calls = {
      {"AtivarSAT", [c] { return AtivarSAT(1, 2, c, "111", 35); }, "0|000001|2|12345678|111|35",
       "000001|04000|ok|0|sefaz|csr"},
      {"Certificado", [c] { return ComunicarCertificadoICPBRASIL(2, c, "cert"); },
       "1|000002|12345678|cert", "000002|05000|ok|0|sefaz"},
      {"Cancelar", [c] { return CancelarUltimaVenda(4, c, "CFe1", "<CFeCanc>a|b</CFeCanc>"); },
       "3|000004|12345678|CFe1|<CFeCanc>a&#x7c;b</CFeCanc>",
       "000004|07000|0000|ok|0|sefaz|b64|ts|chave|10.00|cpf|qr"},
      {"ConsultarSAT", [] { return ConsultarSAT(5); }, "4|000005", "000005|08000|ok|0|sefaz"},
      {"TesteFimAFim", [c] { return TesteFimAFim(6, c, "<CFe/>"); }, "5|000006|12345678|<CFe/>",
       "000006|09000|ok|0|sefaz|b64|ts|42|chave"},
      {"Status", [c] { return ConsultarStatusOperacional(7, c); }, "6|000007|12345678",
       "000007|10000|ok|0|sefaz|a|b|c"},
      {"NumeroSessao", [c] { return ConsultarNumeroSessao(8, c, 3); }, "7|000008|12345678|3",
       "000008|11000|ok|0|sefaz"},
      {"Associar", [c] { return AssociarAssinatura(10, c, "cnpj", "sig"); },
       "9|000010|12345678|cnpj|sig", "000010|13000|ok|0|sefaz"},
      {"Atualizar", [c] { return AtualizarSoftwareSAT(11, c); }, "10|000011|12345678",
       "000011|14000|ok|0|sefaz"},
      {"Logs", [c] { return ExtrairLogs(12, c); }, "11|000012|12345678",
       "000012|15000|ok|0|sefaz|log"},
      {"Bloquear", [c] { return BloquearSAT(13, c); }, "12|000013|12345678",
       "000013|16000|ok|0|sefaz"},
      {"Desbloquear", [c] { return DesbloquearSAT(14, c); }, "13|000014|12345678",
       "000014|17000|ok|0|sefaz"},
      {"Trocar", [c] { return TrocarCodigoDeAtivacao(15, c, 1, "n", "n"); },
       "14|000015|12345678|1|n|n", "000015|18000|ok|0|sefaz"},
      {"UltimaSessao", [c] { return ConsultarUltimaSessaoFiscal(16, c); }, "15|000016|12345678",
       "000016|19000|ok|0|sefaz"},
  };
  for (const Call& call : calls) {
    const size_t before = script->sentCount();
    EXPECT_EQ(take(call.call()), call.result) << call.name;
    ASSERT_EQ(script->sentCount(), before + 1) << call.name;
    EXPECT_EQ(script->sent().back(), call.request) << call.name;
  }
}

TEST_F(Facade, NetworkConfigurationTravelsRewritten) {
  EXPECT_EQ(take(ConfigurarInterfaceDeRede(9, "c", "<config><lanIP>010.000.000.001</lanIP></config>")),
            "000009|12000|ok|0|sefaz");
  EXPECT_EQ(script->sent().back(),
            "8|000009|c|<?xml version=\"1.0\"?><config>\t<lanIP>10.0.0.1</lanIP></config>");
}

// Applications that only know the standard's functions never connect: the
// call that finds no link opens it and goes on with its exchange.
TEST_F(Facade, FirstCallWithoutAnOpenChannelConnectsAndGoesOn) {
  TivaxlibDeInit();
  const size_t channels = script->ports.size();
  EXPECT_EQ(take(ConsultarSAT(1)), "000001|08000|ok|0|sefaz");
  EXPECT_EQ(script->sentCount(), 1u);
  EXPECT_EQ(script->ports.size(), channels + 1);
  EXPECT_EQ(take(ConsultarSAT(2)), "000002|08000|ok|0|sefaz");
  EXPECT_EQ(script->ports.size(), channels + 1);
}

TEST_F(Facade, InitTwiceConnectsOnceAndAgainAfterDeInit) {
  TivaxlibDeInit();
  const size_t channels = script->ports.size();
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(script->ports.size(), channels + 1);
  EXPECT_EQ(TivaxlibDeInit(), 1);
  EXPECT_EQ(TivaxlibDeInit(), 1);
  EXPECT_EQ(TivaxlibInit(), 1);
  EXPECT_EQ(script->ports.size(), channels + 2);
}

TEST_F(Facade, APortThatCannotOpenIsTriedAgainOnEveryCall) {
  script->opens = false;
  EXPECT_EQ(ConfigurarPortaSerial("/nowhere"), 1);
  EXPECT_EQ(TivaxlibInit(), 0);
  EXPECT_EQ(take(ConsultarSAT(1)), "");
  EXPECT_EQ(take(ConsultarSAT(1)), "");
  const std::vector<std::string> ports = script->ports;
  ASSERT_GE(ports.size(), 4u);
  for (size_t i = ports.size() - 4; i < ports.size(); ++i) EXPECT_EQ(ports[i], "/nowhere");
  EXPECT_EQ(script->sentCount(), 0u);
}

struct Judged {
  const char* answer;
  bool sameSessionRule;  // a function judged by rule A
  std::string expected;  // "" when the answer is refused
};

TEST_F(Facade, AnswersAreJudgedByTheirFunctionsRule) {
  const std::vector<Judged> cases = {
      // rule A: code, message and own session all needed
      {"000005|00000|ok", true, ""},
      {"000005|06000|", true, ""},
      // another session's answer is passed over, and nothing else comes
      {"000006|06000|ok", true, ""},
      {"000005|06000|ok", true, "000005|06000|ok"},
      // rule B: another session's line is accepted whole, whatever its code
      {"000099|06000|texto", false, "000099|06000|texto"},
      {"99|00000|texto", false, "000099|00000|texto"},
      {"000005|00000|ok", false, ""},
      {"000005|11000|ok", false, "000005|11000|ok"},
  };
  for (const Judged& j : cases) {
    answerOnceWith(std::string(j.answer) + "\n");
    const std::string got = j.sameSessionRule ? take(ConsultarStatusOperacional(5, "c"))
                                              : take(ConsultarNumeroSessao(5, "c", 99));
    EXPECT_EQ(got, j.expected) << j.answer;
    if (!j.sameSessionRule) {
      EXPECT_EQ(take(ConsultarUltimaSessaoFiscal(5, "c")), j.expected) << j.answer;
    }
  }
}

TEST_F(Facade, AnAnswerArrivingAfterItsEchoInAnotherPieceIsNotLost) {
  auto pieces = std::make_shared<int>(0);
  answerWith([pieces](const std::string& request) {
    return (*pieces)++ % 2 == 0 ? request + "\r\n" : answerFor(request);
  });
  EXPECT_EQ(take(EnviarDadosVenda(3, "c", "not xml")), "000003|06010|1999|Erro no XML: ||");
  EXPECT_EQ(take(ConsultarStatusOperacional(3, "c")), "000003|10000|ok|0|sefaz|a|b|c");
  EXPECT_EQ(take(ConsultarSAT(4)), "000004|08000|ok|0|sefaz");
  EXPECT_EQ(*pieces, 4);
}

TEST_F(Facade, ExceptionsBelowTheInterfaceBecomeTheInvalidResult) {
  answerWith([](const std::string&) -> std::string { throw std::runtime_error("device"); });
  EXPECT_EQ(take(ConsultarSAT(1)), "");
  answerWith([](const std::string&) -> std::string { throw 42; });
  EXPECT_EQ(take(BloquearSAT(1, "c")), "");
  answerWith(answerFor);
  EXPECT_EQ(take(ConsultarSAT(1)), "000001|08000|ok|0|sefaz");
}

TEST_F(Facade, MalformedSaleIsRefusedLocallyAndNeverSent) {
  struct Case {
    int session;
    const char* xml;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {7, "not xml", "000007|06010|1999|Erro no XML: ||"},
      {-5, "<a>", "0000-5|06010|1999|Erro no XML: ||"},
      {1234567,
       "<CFe><infCFe versaoDadosEnt=\"0.07\"><emit/></infCFe></CFe>",
       "1234567|06010|1999|Erro no XML: Falha ao verificar tag: emit||"},
      {7, "still not xml", "000007|06010|1999|Erro no XML: ||"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(take(EnviarDadosVenda(c.session, "c", c.xml)), c.expected) << c.xml;
  EXPECT_EQ(script->sentCount(), 0u);
}

// The library's own refusal of a malformed sale needs no link.
TEST_F(Facade, MalformedSaleWithNoLinkToOpenIsStillRefusedWithItsLine) {
  TivaxlibDeInit();
  script->opens = false;
  EXPECT_EQ(take(EnviarDadosVenda(7, "c", "not xml")), "000007|06010|1999|Erro no XML: ||");
  EXPECT_EQ(script->sentCount(), 0u);
}

TEST_F(Facade, ConcurrentCallsEachGetTheirOwnAnswer) {
  answerWith([](const std::string& request) {
    // Give another thread the chance to slip its exchange in between.
    std::this_thread::yield();
    return answerFor(request);
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 50; ++i) {
        const int session = 1000 * (t + 1) + i;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%06d", session);
        const std::string got = take(ConsultarStatusOperacional(session, "c"));
        if (got != std::string(buf) + "|10000|ok|0|sefaz|a|b|c") ++wrong;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(script->sentCount(), 200u);
}

struct Blocking {
  const char* name;
  std::function<std::string(const std::string& session)> status;
  int expected;
};

std::string statusWithState(const std::string& session, const std::string& code,
                            const std::string& state) {
  std::string line = session + "|" + code + "|msg|0|sefaz";
  for (int i = 6; i <= 27; ++i) line += "|f" + std::to_string(i);
  return line + "|" + state + "\n";
}

TEST_F(Facade, ConsultaBloqueioReadsTheOperationalState) {
  const std::vector<Blocking> cases = {
      {"unblocked", [](const std::string& s) { return statusWithState(s, "10000", "0"); }, 0},
      {"blocked", [](const std::string& s) { return statusWithState(s, "10000", "1"); }, 1},
      {"zeros", [](const std::string& s) { return statusWithState(s, "10000", "000"); }, 0},
      {"huge state", [](const std::string& s) {
         return statusWithState(s, "10000", "99999999999999999999999"); }, 1},
      {"not digits", [](const std::string& s) { return statusWithState(s, "10000", "x"); }, 1},
      {"empty state", [](const std::string& s) { return statusWithState(s, "10000", ""); }, 1},
      {"other code", [](const std::string& s) { return statusWithState(s, "10098", "0"); }, 1},
      {"silent", [](const std::string&) { return std::string(); }, 1},
  };
  for (const Blocking& b : cases) {
    answerWith([&b](const std::string& request) { return b.status(fieldsOf(request)[1]); });
    EXPECT_EQ(consultaBloqueio("mine"), b.expected) << b.name;
  }
}

// One request, with the caller's code: no wrong code ever reaches the
// device. A refused code says "cannot tell". The session is the library's
// own draw, and the application's rand() sequence is left alone.
TEST_F(Facade, ConsultaBloqueioAsksOnceWithTheCallersCode) {
  const struct {
    const char* code;
    const char* state;
    int expected;
  } second[] = {{"10000", "0", 0}, {"10000", "1", 1}, {"10001", "0", 1}};
  for (const auto& c : second) {
    answerWith([c](const std::string& request) {
      const auto f = fieldsOf(request);
      return statusWithState(f[1], c.code, c.state);
    });
    script->requests.clear();
    std::srand(7);
    const int expectedRand = std::rand();
    std::srand(7);
    EXPECT_EQ(consultaBloqueio("mine"), c.expected) << c.code << " " << c.state;
    EXPECT_EQ(std::rand(), expectedRand);
    const auto sent = script->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(fieldsOf(sent[0])[2], "mine");
    for (const std::string& line : sent) EXPECT_LT(std::stoi(fieldsOf(line)[1]), 999999);
  }
}

// The device object on its own, for what the exported functions hide.
TEST(FacadeRecords, FailedExchangeResetsTheReturnRecordButKeepsWhatTheRulesSay) {
  auto script = std::make_shared<Script>();
  script->answer = [](const std::string&) { return std::string("garbage\n"); };
  Tivaxlib::Tivax facade(tivaxtest::scriptedFactory(script), Tivaxlib::SysfsRoots{});
  ASSERT_TRUE(facade.setComPort("p"));

  Tivaxlib::teste_fim_a_fim_t teste;
  Tivaxlib::teste_fim_a_fim_retorno_t testeRet;
  testeRet.EEEEE = 9;
  testeRet.mensagem = "old";
  testeRet.arquivoCFeBase64 = "kept";
  std::string raw = "untouched";
  EXPECT_FALSE(facade.testeFimAFim(teste, testeRet, raw));
  EXPECT_EQ(testeRet.EEEEE, 0);
  EXPECT_EQ(testeRet.mensagem, "");
  EXPECT_EQ(testeRet.arquivoCFeBase64, "kept");
  EXPECT_EQ(raw, "untouched");

  Tivaxlib::enviar_dados_venda_t venda;
  venda.dadosVenda = "x";
  Tivaxlib::enviar_dados_venda_retorno_t vendaRet;
  vendaRet.CCCC = 5;
  vendaRet.timeStamp = "old";
  Tivaxlib::cancelar_ultima_venda_t canc;
  Tivaxlib::cancelar_ultima_venda_retorno_t cancRet;
  cancRet.CCCC = 5;
  cancRet.timeStamp = "old";
  EXPECT_FALSE(facade.cancelarUltimaVenda(canc, cancRet, raw));
  EXPECT_EQ(cancRet.CCCC, 5);
  EXPECT_EQ(cancRet.timeStamp, "");

  Tivaxlib::extrair_log_t logs;
  Tivaxlib::extrair_log_retorno_t logsRet;
  logsRet.arquivoLog = "old";
  EXPECT_FALSE(facade.extrairLogs(logs, logsRet, raw));
  EXPECT_EQ(logsRet.arquivoLog, "");

  // The local refusal fills the record the way a device answer would.
  EXPECT_TRUE(facade.enviarDadosVenda(venda, vendaRet, raw));
  EXPECT_EQ(vendaRet.EEEEE, 6010);
  EXPECT_EQ(vendaRet.CCCC, 1999);
  EXPECT_EQ(vendaRet.mensagem, "Erro no XML: ");
  EXPECT_EQ(vendaRet.timeStamp, "");
  EXPECT_EQ(raw, "000000|06010|1999|Erro no XML: ||");
}

TEST(FacadeRecords, NoPortKnownLeavesNoChannelAndEveryCallTriesAgain) {
  auto script = std::make_shared<Script>();
  Tivaxlib::Tivax facade(tivaxtest::scriptedFactory(script),
                         Tivaxlib::SysfsRoots{"/nonexistent-dev", "/nonexistent-sys"});
  EXPECT_FALSE(facade.connect());
  Tivaxlib::consultar_sat_t req;
  Tivaxlib::consultar_sat_retorno_t ret;
  std::string raw;
  EXPECT_FALSE(facade.consultarSAT(req, ret, raw));
  EXPECT_FALSE(facade.consultarSAT(req, ret, raw));
  EXPECT_TRUE(script->ports.empty());
  EXPECT_FALSE(facade.isConnected());
}

}  // namespace
