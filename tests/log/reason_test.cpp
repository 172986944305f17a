// SPDX-License-Identifier: MIT
// The texts of the reasons, and how fields are made fit for the log.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "log/reason.h"
#include "log/trace.h"

namespace {

using Tivaxlib::Log::FieldRole;
using Tivaxlib::Log::Reason;
using Tivaxlib::Log::ReasonKind;
using Tivaxlib::Log::renderReason;

// Every kind's text starts with its own phrase, distinct from the others,
// so that a program can tell the kinds apart by it.
TEST(Reasons, EveryKindHasItsOwnPhrase) {
  std::set<std::string> phrases;
  for (int k = static_cast<int>(ReasonKind::NullArgument); k <= static_cast<int>(ReasonKind::Internal);
       ++k) {
    const auto kind = static_cast<ReasonKind>(k);
    const std::string phrase = Tivaxlib::Log::reasonPhrase(kind);
    ASSERT_FALSE(phrase.empty()) << k;
    EXPECT_TRUE(phrases.insert(phrase).second) << phrase;
    EXPECT_EQ(renderReason(Reason(kind)).rfind(phrase + ": ", 0), 0u) << phrase;
  }
  EXPECT_EQ(renderReason(Reason()), "");
}

TEST(Reasons, DetailsFillTheTemplates) {
  const struct {
    Reason reason;
    const char* text;
  } cases[] = {
      {Reason(ReasonKind::NullArgument).on("CNPJ").saying("AtivarSAT"),
       "argumento nulo: CNPJ é NULL em AtivarSAT"},
      {Reason(ReasonKind::OpenFailed).on("/dev/x").withError(ENOENT),
       "porta não abre: /dev/x: No such file or directory (o caminho não existe: o equipamento "
       "está desligado, ou a porta é outra)"},
      {Reason(ReasonKind::TimedOut).on("/dev/x").saying("nada chegou").counting(1500),
       "tempo esgotado: nada chegou em 1.5 s (TIVAX_TIMEOUT), na porta /dev/x"},
      {Reason(ReasonKind::PortBusy).on("/dev/x").counting(2000),
       "porta ocupada: outro processo usou /dev/x por mais de 2 s (TIVAX_TIMEOUT)"},
      {Reason(ReasonKind::PortBusy).on("/dev/x").counting(250),
       "porta ocupada: outro processo usou /dev/x por mais de 0.25 s (TIVAX_TIMEOUT)"},
      {Reason(ReasonKind::OtherSession).counting(43, 42),
       "resposta de outra sessão: a resposta é da sessão 43, e o pedido da sessão 42"},
      {Reason(ReasonKind::Internal), "erro interno: memória insuficiente"},
  };
  for (const auto& c : cases) EXPECT_EQ(renderReason(c.reason), c.text);
  // A permission failure points at the usual cure.
  EXPECT_NE(renderReason(Reason(ReasonKind::OpenFailed).on("/dev/x").withError(EACCES)).find("dialout"),
            std::string::npos);
}

TEST(Reasons, NotedPerCallWithTheReconnection) {
  Tivaxlib::Log::clearNoted();
  EXPECT_EQ(Tivaxlib::Log::renderNoted(), "");
  Tivaxlib::Log::noteReconnected();
  EXPECT_EQ(Tivaxlib::Log::renderNoted(), "");  // a valid call says nothing
  Tivaxlib::Log::noteReason(Reason(ReasonKind::NoAnswer).on("/dev/x").counting(30));
  const std::string text = Tivaxlib::Log::renderNoted();
  EXPECT_EQ(text.rfind("sem resposta: ", 0), 0u);
  EXPECT_NE(text.find("foi aberta de novo nesta chamada"), std::string::npos);
  Tivaxlib::Log::clearNoted();
  EXPECT_EQ(Tivaxlib::Log::notedReason().kind, ReasonKind::None);
  EXPECT_FALSE(Tivaxlib::Log::reconnectedInCall());
}

TEST(LogFields, SecretsMaskedBulkShortened) {
  using Tivaxlib::Log::shortened;
  const std::string long300(300, 'a');
  const std::string exactly256(256, 'b');
  // "é" is two bytes: a cut at 64 must not split it.
  const std::string accented = std::string(63, 'c') + "\xc3\xa9" + std::string(300, 'd');
  const struct {
    std::string field;
    FieldRole role;
    std::string logged;
  } cases[] = {
      {"12345678", FieldRole::Secret, "********"},
      {"", FieldRole::Secret, "********"},
      {"short", FieldRole::Plain, "short"},
      {exactly256, FieldRole::Plain, exactly256},
      {long300, FieldRole::Plain, std::string(64, 'a') + "...(300 bytes)"},
      {"MIIB", FieldRole::Bulky, "MIIB...(4 bytes)"},
      {accented, FieldRole::Plain, std::string(63, 'c') + "...(365 bytes)"},
  };
  for (const auto& c : cases) EXPECT_EQ(shortened(c.field, c.role), c.logged) << c.field.substr(0, 10);

  Tivaxlib::Log::setCompleteFields(true);
  EXPECT_EQ(shortened(long300), long300);
  EXPECT_EQ(shortened("MIIB", FieldRole::Bulky), "MIIB");
  EXPECT_EQ(shortened("12345678", FieldRole::Secret), "********");  // whatever is asked
  Tivaxlib::Log::setCompleteFields(false);

  EXPECT_EQ(Tivaxlib::Log::shortenedLine("1|" + long300 + "|x"),
            "1|" + std::string(64, 'a') + "...(300 bytes)|x");
}

TEST(LogFields, QuotedStaysOnOneLine) {
  EXPECT_EQ(Tivaxlib::Log::quoted("a\"b\\c\nd\re\tf\x01g"), "\"a\\\"b\\\\c\\nd\\re\\tf\\x01g\"");
  EXPECT_EQ(Tivaxlib::Log::quoted("ação"), "\"ação\"");
}

}  // namespace
