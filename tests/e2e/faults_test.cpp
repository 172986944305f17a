// A device that misbehaves on the wire, as the library meets it. The faults
// are chosen by the session number (see tools/emulator/emulator.h).
#include <functional>
#include <string>

#include "e2e_link.h"
#include "tivax.h"

namespace tivaxe2e {
namespace {

using WireFaults = LinkedTest;

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
  };
  for (const auto& c : cases) {
    EXPECT_EQ(take(AtualizarSoftwareSAT(c.session, kCode)), softwareAnswer(c.session)) << c.fault;
    EXPECT_EQ(take(ConsultarSAT(c.session + 1)), consultarAnswer(c.session + 1)) << c.fault;
  }
}

// What the library must refuse, leaving the link usable.
TEST_F(WireFaults, AnswersTheLibraryRefuses) {
  const struct {
    const char* fault;
    std::function<char*()> call;
  } cases[] = {
      {"garbage", [] { return AtualizarSoftwareSAT(tivaxemu::kGarbageSessions + 1, kCode); }},
      {"other session",
       [] { return AtualizarSoftwareSAT(tivaxemu::kOtherSessionSessions + 1, kCode); }},
      {"silence while polling", [] { return ConsultarSAT(tivaxemu::kSilenceSessions + 1); }},
      {"past the size cap", [] { return ExtrairLogs(tivaxemu::kOversizeSessions + 1, kCode); }},
  };
  int session = 10;
  for (const auto& c : cases) {
    EXPECT_EQ(take(c.call()), "") << c.fault;
    EXPECT_EQ(take(AtualizarSoftwareSAT(session, kCode)), "0000" + softwareAnswer(session))
        << "after " << c.fault;
    ++session;
  }
}

// The session queries take another session's answer whole.
TEST_F(WireFaults, SessionQueryTakesAnotherSessionsAnswer) {
  ASSERT_EQ(take(ConsultarSAT(5)), "000005|08000|SAT em operação||");
  const int asking = tivaxemu::kOtherSessionSessions + 2;
  EXPECT_EQ(take(ConsultarNumeroSessao(asking, kCode, 5)), consultarAnswer(asking + 1));
}

// The device goes away in the middle of an answer and comes back on a new
// terminal behind the same port path.
TEST_F(WireFaults, HangUpMidAnswerThenTheSamePortWorksAgain) {
  const std::uint64_t hangUps = device().hangUps();
  EXPECT_EQ(take(AtualizarSoftwareSAT(tivaxemu::kHangUpSessions + 1, kCode)), "");
  EXPECT_EQ(device().hangUps(), hangUps + 1);
  // The library notices the broken link on its next write, then reconnects
  // through the port path on the call after; a few calls at most.
  std::string answer;
  for (int attempt = 0; attempt < 4 && answer.empty(); ++attempt)
    answer = take(AtualizarSoftwareSAT(20 + attempt, kCode));
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer.substr(6), "|14000|Software Atualizado com Sucesso||");
}

}  // namespace
}  // namespace tivaxe2e
