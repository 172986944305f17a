// SPDX-License-Identifier: MIT
// A device that misbehaves on the wire, as the library meets it. The faults
// are chosen by the session number (see tools/emulator/emulator.h).
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "comm/waits.h"
#include "e2e_documents.h"
#include "e2e_link.h"
#include "request_line.h"
#include "tivax.h"

namespace tivaxe2e {
namespace {

using WireFaults = LinkedTest;

// For the faults after which the device says nothing more: an answer
// deadline, so that the library stops waiting.
class WithDeadline {
 public:
  explicit WithDeadline(std::chrono::milliseconds limit) { Tivaxlib::Comm::setAnswerTimeout(limit); }
  ~WithDeadline() { Tivaxlib::Comm::setAnswerTimeout(std::chrono::nanoseconds(0)); }
};

std::string softwareAnswer(int session) {
  return std::to_string(session) + "|14000|Software Atualizado com Sucesso||";
}
std::string consultarAnswer(int session) {
  return std::to_string(session) + "|08000|SAT em operação||";
}

// What a device may do that the library must see through, in both read
// modes: blocking (every function but ConsultarSAT) and polling.
TEST_F(WireFaults, AnswersTheLibraryReadsThrough) {
  const struct {
    const char* fault;
    int session;
  } cases[] = {
      {"echo", tivaxemu::kEchoSessions + 1},
      {"CR LF", tivaxemu::kCrLfSessions + 1},
      {"split", tivaxemu::kSplitSessions + 1},
      {"delay", tivaxemu::kDelaySessions + 1},
      {"lone LF first", tivaxemu::kBlankLineSessions + 1},
      {"lone CR LF first", tivaxemu::kBlankCrLfSessions + 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(take(AtualizarSoftwareSAT(c.session, kCode)), softwareAnswer(c.session)) << c.fault;
    EXPECT_EQ(take(ConsultarSAT(c.session + 1)), consultarAnswer(c.session + 1)) << c.fault;
    EXPECT_STREQ(TivaxlibUltimoErro(), "") << c.fault;
  }
}

// What the library must refuse, leaving the link usable.
TEST_F(WireFaults, AnswersTheLibraryRefuses) {
  const struct {
    const char* fault;
    std::function<char*()> call;
    const char* reason;  // how TivaxlibUltimoErro starts
  } cases[] = {
      {"garbage", [] { return AtualizarSoftwareSAT(tivaxemu::kGarbageSessions + 1, kCode); },
       "campos insuficientes: a resposta tem 1 campo(s), e são precisos ao menos 3"},
      // Passed over, and then nothing comes.
      {"other session",
       [] {
         const WithDeadline deadline(std::chrono::milliseconds(500));
         return AtualizarSoftwareSAT(tivaxemu::kOtherSessionSessions + 1, kCode);
       },
       "resposta de outra sessão: a resposta é da sessão 9000802, e o pedido da sessão 9000801"},
      {"silence while polling", [] { return ConsultarSAT(tivaxemu::kSilenceSessions + 1); },
       "sem resposta: o equipamento em "},
      {"past the size cap", [] { return ExtrairLogs(tivaxemu::kOversizeSessions + 1, kCode); },
       "resposta grande demais: "},
  };
  int session = 10;
  for (const auto& c : cases) {
    EXPECT_EQ(take(c.call()), "") << c.fault;
    EXPECT_EQ(std::string(TivaxlibUltimoErro()).rfind(c.reason, 0), 0u) << TivaxlibUltimoErro();
    EXPECT_EQ(take(AtualizarSoftwareSAT(session, kCode)), "0000" + softwareAnswer(session))
        << "after " << c.fault;
    ++session;
  }
}

// An echo followed by an answer longer than one 1 MiB fill, in one stream:
// the echo's line feed is in the first fill, and the answer still comes
// whole.
TEST_F(WireFaults, LongAnswerAfterAnEchoIsNotCut) {
  const std::string log = take(ExtrairLogs(tivaxemu::kEchoLargeSessions + 1, kCode));
  EXPECT_EQ(log.size(), tivaxemu::Options().largeBytes - 1);
  const std::vector<std::string> fields = tivaxemu::splitFields(log);
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[0], "9001001");
  EXPECT_EQ(fields[1], "15000");
}

// A request whose last parameter is empty ends in "|", and so does its echo;
// the answer after that echo is still read (a configuration that is not XML
// goes out empty).
TEST_F(WireFaults, EchoOfAnEmptyLastParameterIsRecognised) {
  const int session = tivaxemu::kEchoSessions + 2;
  const std::string answer = take(ConfigurarInterfaceDeRede(session, kCode, "not xml"));
  EXPECT_EQ(device().lastRequest(), "8|9000002|12345678|");
  EXPECT_EQ(answer, "9000002|12002|Dados de configuração inválidos||");
}

// An answer that comes after its call gave up arrives during the next call,
// which passes it over and takes its own answer.
TEST_F(WireFaults, LateAnswerDoesNotTakeTheNextCallsPlace) {
  {
    const WithDeadline deadline(std::chrono::milliseconds(300));
    EXPECT_EQ(take(ConsultarSAT(tivaxemu::kLateAnswerSessions + 1)), "");
  }
  const std::vector<std::string> sale = tivaxemu::splitFields(take(EnviarDadosVenda(31, kCode, kSale.c_str())));
  ASSERT_EQ(sale.size(), 12u);
  EXPECT_EQ(sale[0], "000031");
  EXPECT_EQ(sale[1], "06000");
}

// The session query takes the consulted session's stored answer whole, and
// passes over a third session's line.
TEST_F(WireFaults, SessionQueryTakesOnlyTheConsultedSessionsAnswer) {
  ASSERT_EQ(take(ConsultarSAT(5)), "000005|08000|SAT em operação||");
  EXPECT_EQ(take(ConsultarNumeroSessao(6, kCode, 5)), "000005|08000|SAT em operação||");
  const WithDeadline deadline(std::chrono::milliseconds(500));
  const int asking = tivaxemu::kOtherSessionSessions + 2;
  EXPECT_EQ(take(ConsultarNumeroSessao(asking, kCode, 5)), "");
  EXPECT_EQ(std::string(TivaxlibUltimoErro()).rfind("resposta de outra sessão: a resposta é da sessão 9000803", 0), 0u)
      << TivaxlibUltimoErro();
}

// The device goes away in the middle of an answer and comes back on a new
// terminal behind the same port path: the first call after it finds the
// old terminal refusing the write before any byte, opens the port again
// and goes on. Whether the hang-up is seen at a read or when the read mode
// is applied, it is a lost link.
TEST_F(WireFaults, HangUpMidAnswerThenTheSamePortWorksAgain) {
  const std::uint64_t hangUps = device().hangUps();
  EXPECT_EQ(take(AtualizarSoftwareSAT(tivaxemu::kHangUpSessions + 1, kCode)), "");
  EXPECT_EQ(std::string(TivaxlibUltimoErro()).rfind("conexão perdida: a leitura de ", 0), 0u)
      << TivaxlibUltimoErro();
  EXPECT_EQ(device().hangUps(), hangUps + 1);
  EXPECT_EQ(take(AtualizarSoftwareSAT(20, kCode)), "000020|14000|Software Atualizado com Sucesso||")
      << TivaxlibUltimoErro();
}

}  // namespace
}  // namespace tivaxe2e
