// SPDX-License-Identifier: MIT
// How an answer text is taken apart: echo recognition, line and field
// splitting, the conversion guard, and the per-class layouts.
#include <string>

#include <gtest/gtest.h>

#include "log/reason.h"
#include "messages/decoded.h"
#include "messages/receive_messages.h"
#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {
namespace {

EnvioBloquearSAT blockRequest() {
  EnvioBloquearSAT request;
  request.numeroSessao = 5;
  request.codigoDeAtivacao = "c";
  return request;
}

TEST(AnswerLine, FillsWhatItCanAndNoMore) {
  const Common none;
  const struct {
    const char* received;
    Common expected;
  } cases[] = {
      {"5|06000|x\n", {5, 6000, "x", 0, "", "000005|06000|x"}},
      {"5|06000|x", {5, 6000, "x", 0, "", "000005|06000|x"}},  // no terminator
      {"5|6000|x|0|\n", {5, 6000, "x", 0, "", "000005|6000|x|0|"}},
      {"5|6000|x|abc|sefaz\n", {5, 6000, "x", 0, "sefaz", "000005|6000|x|abc|sefaz"}},
      {"5|06\r000|x\r\n", {5, 6000, "x", 0, "", "000005|06000|x"}},
      // Too few fields, or a first field that is not all digits: the line
      // alone is kept.
      {"5|06000\n", {0, 0, "", 0, "", "000005|06000"}},
      {"12abc|06000|x\n", {0, 0, "", 0, "", "000012|06000|x"}},
      {"-5|06000|x\n", {0, 0, "", 0, "", "0000-5|06000|x"}},
      // A number too long for 32 bits stops decoding where it stands.
      {"5|06000|x|99999999999|sefaz\n", {5, 6000, "x", 0, "", "000005|06000|x|99999999999|sefaz"}},
      {"5|99999999999|x\n", {5, 0, "", 0, "", "000005|99999999999|x"}},
      // Another session's answer, which is passed over.
      {"99999999999|06000|x\n", none},
      {"1234567|06000|x\n", none},
      // No session number to normalise: nothing at all.
      {"|06000|x\n", none},
      {"12345\n", none},
      {"", none},
      {"\n\n", none},
  };
  const EnvioBloquearSAT request = blockRequest();
  for (const auto& c : cases)
    EXPECT_EQ(commonOf(decode<RetornoBloquearSAT>(request, c.received)), c.expected)
        << c.received;
}

TEST(AnswerLine, WithoutALinkedRequestNothingIsDecoded) {
  RetornoBloquearSAT response;
  std::string text = "5|06000|x\n";
  response.pushReceivedMessage(text);
  EXPECT_EQ(commonOf(response), Common());
}

// Request of AtivarSAT: 0|000042|1|codigo|cnpj|35. The echo is known by
// the whole request line; any other line numbered for another session (its
// first field, here the function id 0 or 1) is passed over, whatever its
// second field says, and the answer after it is decoded.
TEST(Echo, LinesOfOtherSessionsBeforeTheAnswerArePassedOver) {
  EnvioAtivarSAT request;
  request.numeroSessao = 42;
  request.codigoDeAtivacao = "codigo";
  request.CNPJ = "cnpj";
  for (const char* first :
       {"0|000042|1|codigo|cnpj|35", "0|000042|1|codigo|cnpj|35\r", "0|42|01|codigo|cnpj|035",
        "0|000043|1|codigo|cnpj|35", "0|99999999999|1|codigo|cnpj|35", "1|000042|1|codigo|cnpj|35",
        "0|000042|1|codigX|cnpj|35", "000005|000042|Resposta||"}) {
    const RetornoAtivarSAT r =
        decode<RetornoAtivarSAT>(request, std::string(first) + "\n000042|04000|ok\n");
    EXPECT_EQ(r.EEEEE, 4000) << first;
    EXPECT_EQ(r.rawResponse, "000042|04000|ok") << first;
    EXPECT_EQ(Log::renderReason(r.decodeFailure()), "") << first;
  }
}

// With session 0 the echo's first field (the function id 0) carries the
// session: a line that starts so is this exchange's, and as the echo every
// field must match.
TEST(Echo, IsRecognisedFieldByField) {
  EnvioAtivarSAT request;
  request.numeroSessao = 0;
  request.codigoDeAtivacao = "codigo";
  request.CNPJ = "cnpj";
  const struct {
    const char* echo;
    bool recognised;
    const char* why;  // what the failure says when it is not
  } cases[] = {
      {"0|000000|1|codigo|cnpj|35", true, ""},
      {"0|0|01|codigo|cnpj|035", true, ""},  // numbers compare as numbers
      {"0|000000|1|codigo|cnpj|35\r", true, ""},
      {"0|000043|1|codigo|cnpj|35", false, "a primeira de duas linhas é da sessão 000043, e o pedido da 0"},
      {"0|000000|1|codigX|cnpj|35", false, "o campo 4 da primeira de duas linhas difere do que o pedido enviou"},
      {"0|000000|2|codigo|cnpj|35", false, "o campo 3 da primeira de duas linhas difere do que o pedido enviou"},
      {"0|000000|1|codigo|cnpj|3a", false,
       "o campo 6 da primeira de duas linhas não é um número, como no pedido"},
      {"0|000000|1|codigo|cnpj|35|x", false,
       "a primeira de duas linhas tem 7 campo(s), e o eco deste pedido teria 6"},
      {"0|000000|1|codigo|cnpj", false,
       "a primeira de duas linhas tem 5 campo(s), e o eco deste pedido teria 6"},
  };
  for (const auto& c : cases) {
    const RetornoAtivarSAT r =
        decode<RetornoAtivarSAT>(request, std::string(c.echo) + "\n000000|04000|ok\n");
    EXPECT_EQ(r.EEEEE, c.recognised ? 4000 : 0) << c.echo;
    EXPECT_EQ(r.rawResponse, c.recognised ? "000000|04000|ok" : "") << c.echo;
    const std::string why = Log::renderReason(r.decodeFailure());
    EXPECT_EQ(why, *c.why ? std::string("eco diferente do pedido: ") + c.why : "") << c.echo;
  }
}

TEST(Echo, AloneOrWithAStrayLineDecodesNothing) {
  EnvioAtivarSAT request;
  request.numeroSessao = 42;
  const std::string echo = request.pullMessageToSend();  // 0|000042|1|||35
  for (const std::string& text : {echo, echo + "000042|04000|ok\nstray\n"})
    EXPECT_EQ(commonOf(decode<RetornoAtivarSAT>(request, text)), Common()) << text;
  // Only the bare echo says that the answer is still to come.
  EXPECT_TRUE(decode<RetornoAtivarSAT>(request, echo).answerPending());
  EXPECT_FALSE(decode<RetornoAtivarSAT>(request, echo + "000042|04000|ok\nstray\n").answerPending());
  EXPECT_FALSE(decode<RetornoAtivarSAT>(request, "000042|04000|ok\n").answerPending());
}

// What never counts as a line: blank lines, and for every function but the
// session queries a line for another session (a late answer to an earlier
// request, a stale echo). The answer may still come after them.
TEST(Lines, BlankAndOtherSessionsLinesArePassedOver) {
  EnvioConfigurarInterfaceDeRede request;  // 8|000007|12345678|<configuration>
  request.numeroSessao = 7;
  request.codigoDeAtivacao = "12345678";
  const std::string echo = request.pullMessageToSend();
  ASSERT_EQ(echo, "8|000007|12345678|\n");  // the configuration is empty: the line ends in "|"
  const std::string answer = "000007|12000|ok|0|s\n";
  const struct {
    std::string received;
    bool pending;
    const char* raw;
  } cases[] = {
      {"\n" + answer, false, "000007|12000|ok|0|s"},
      {"\r\n\r\n" + echo + "\r\n" + answer, false, "000007|12000|ok|0|s"},
      {"\r\n", true, ""},
      {"000003|08000|SAT em operação||\n", true, ""},
      {"000003|08000|late\n" + echo + "4|000003\n" + answer, false, "000007|12000|ok|0|s"},
      {echo + "99999999999|1|x\n" + answer, false, "000007|12000|ok|0|s"},
      {echo + "\n", true, ""},
      {echo + answer, false, "000007|12000|ok|0|s"},
      // Lines that are not numbered for a session still count.
      {"garbage\n" + answer, false, ""},
      {echo + answer + answer, false, ""},
  };
  for (const auto& c : cases) {
    const RetornoConfigurarInterfaceDeRede r = decode<RetornoConfigurarInterfaceDeRede>(request, c.received);
    EXPECT_EQ(r.answerPending(), c.pending) << c.received;
    EXPECT_EQ(r.rawResponse, c.raw) << c.received;
  }

  // A session query takes the consulted session's line as its answer, and
  // passes over a third session's; the query for the last fiscal session,
  // which names none, takes any.
  EnvioConsultarNumeroSessao query;
  query.numeroSessao = 4;
  query.cNumeroDeSessao = 3;
  const auto stored = decode<RetornoConsultarNumeroSessao>(query, "\n000003|08000|late\n");
  EXPECT_FALSE(stored.answerPending());
  EXPECT_EQ(stored.mensagem, "000003|08000|late");
  const auto third = decode<RetornoConsultarNumeroSessao>(query, "000005|08000|late\n");
  EXPECT_TRUE(third.answerPending());
  EXPECT_EQ(third.passedOverSession(), 5);
  const auto staleThenAnswer =
      decode<RetornoConsultarNumeroSessao>(query, "000005|08000|late\n000003|06000|venda\n");
  EXPECT_EQ(staleThenAnswer.mensagem, "000003|06000|venda");
  EnvioConsultarUltimaSessaoFiscal last;
  last.numeroSessao = 4;
  EXPECT_EQ(decode<RetornoConsultarUltimaSessaoFiscal>(last, "000005|08000|late\n").mensagem,
            "000005|08000|late");
}

// A NUL byte (a serial break reads as one) is dropped, and the line after
// it is kept: never a line cut at the NUL.
TEST(Lines, NulBytesAreDroppedNotCutAt) {
  EnvioEnviarDadosVenda request;
  request.numeroSessao = 43;
  const std::string answer = "000043|06000|0000|Emitido com sucesso|0||Qm" + std::string(1, '\0') +
                             "FzZQ==|20231114221320|CFe351|1.00||QR\n";
  const RetornoEnviarDadosVenda r = decode<RetornoEnviarDadosVenda>(request, answer);
  EXPECT_EQ(r.rawResponse, "000043|06000|0000|Emitido com sucesso|0||QmFzZQ==|20231114221320|CFe351|1.00||QR");
  EXPECT_EQ(r.arquivoCFeBase64, "QmFzZQ==");
  EXPECT_EQ(r.assinaturaQRCODE, "QR");
}

// A multi-line XML goes out on one line (the channel drops its line feeds)
// and its carriage returns are dropped from the echo: the echo still counts.
TEST(Echo, OfAMultiLineTextIsRecognised) {
  EnvioEnviarDadosVenda request;
  request.numeroSessao = 42;
  request.codigoDeAtivacao = "codigo";
  request.dadosVenda = "<CFe>\r\n\t<infCFe/>\n</CFe>\n";
  const std::string answer = "000042|06000|0000|Emitido com sucesso|0||Q0ZlAA==";
  const std::string echo = "2|000042|codigo|<CFe>\r\t<infCFe/></CFe>\r\n";
  const RetornoEnviarDadosVenda r = decode<RetornoEnviarDadosVenda>(request, echo + answer + "\n");
  EXPECT_EQ(r.rawResponse, answer);
  EXPECT_EQ(r.arquivoCFeBase64, "Q0ZlAA==");

  // Another request's line (its first field is not this session) is passed
  // over: the answer, numbered for this session, still counts.
  const std::string otherSale = "2|000042|codigo|<CFe>\t<infCFe/></CFX>\n";
  EXPECT_EQ(decode<RetornoEnviarDadosVenda>(request, otherSale + answer + "\n").rawResponse, answer);
  EXPECT_EQ(decode<RetornoEnviarDadosVenda>(request, echo).rawResponse, "");
}

TEST(Layout, CertificateRequestOnlyForSubcommandsTwoAndThreeWithSixFields) {
  for (int32_t subComando : {1, 2, 3, 4}) {
    EnvioAtivarSAT request;
    request.numeroSessao = 1;
    request.subComando = subComando;
    const bool wanted = subComando == 2 || subComando == 3;
    EXPECT_EQ(decode<RetornoAtivarSAT>(request, "1|04006|ok|0|s|CSR\n").CSR, wanted ? "CSR" : "")
        << subComando;
    EXPECT_EQ(decode<RetornoAtivarSAT>(request, "1|04006|ok|0|s|CSR|x\n").CSR, "") << subComando;
  }
}

TEST(Layout, StatusDataJoinsTheRemainingFields) {
  EnvioConsultarStatusOperacional request;
  request.numeroSessao = 1;
  const struct {
    const char* answer;
    const char* dadosStatus;
  } cases[] = {{"1|10000|ok|0|msg|a||c\n", "a||c"},
               {"1|10000|ok|0|msg|a|b|\n", "a|b"},
               {"1|10000|ok|0|msg\n", ""}};
  for (const auto& c : cases)
    EXPECT_EQ(decode<RetornoConsultarStatusOperacional>(request, c.answer).dadosStatus,
              c.dadosStatus);
}

TEST(Layout, SessionQueryMayCarryAnotherSessionsAnswer) {
  EnvioConsultarNumeroSessao request;
  request.numeroSessao = 123;
  request.cNumeroDeSessao = 99;
  EXPECT_EQ(commonOf(decode<RetornoConsultarNumeroSessao>(request, "99|06000|texto\n")),
            (Common{99, 0, "000099|06000|texto", 0, "", "000099|06000|texto"}));
  EXPECT_EQ(commonOf(decode<RetornoConsultarNumeroSessao>(request, "000123|06001|msg|2|s\n")),
            (Common{123, 6001, "msg", 2, "s", "000123|06001|msg|2|s"}));
  // The session is stored before the result code is looked at.
  EXPECT_EQ(commonOf(decode<RetornoConsultarNumeroSessao>(request, "123|x|msg\n")),
            (Common{123, 0, "", 0, "", "000123|x|msg"}));

  EnvioConsultarUltimaSessaoFiscal last;
  last.numeroSessao = 5;
  EXPECT_EQ(decode<RetornoConsultarUltimaSessaoFiscal>(last, "7|06000|t\n").mensagem,
            "000007|06000|t");
}

TEST(Layout, SaleErrorAnswerStopsAtTheAuthorityMessage) {
  EnvioCancelarUltimaVenda request;
  request.numeroSessao = 42;
  const auto error = decode<RetornoCancelarUltimaVenda>(request, "42|07001|1999|Erro|0|sefaz\n");
  EXPECT_EQ(commonOf(error), (Common{42, 7001, "Erro", 0, "sefaz", "000042|07001|1999|Erro|0|sefaz"}));
  EXPECT_EQ(error.CCCC, 1999);
  EXPECT_EQ(error.arquivoCFeBase64 + error.assinaturaQRCODE, "");

  const auto bad = decode<RetornoCancelarUltimaVenda>(request, "42|07001|x|Erro\n");
  EXPECT_EQ(commonOf(bad), (Common{0, 0, "", 0, "", "000042|07001|x|Erro"}));
  EXPECT_EQ(bad.CCCC, 0);
}

}  // namespace
}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
