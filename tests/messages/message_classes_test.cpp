// SPDX-License-Identifier: MIT
// Every request class against its line and its response class against a
// well-formed answer preceded by the device's echo; the wire formatting
// helpers.
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messages/decoded.h"
#include "messages/messages_util.h"
#include "messages/receive_messages.h"
#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {
namespace {

// The common part every five-field and session-query answer carries here.
const std::string kCommon = "000042|06000|mensagem|0123|sefaz";
const std::string kSale = "000042|06000|1234|mensagem|0123|sefaz|b64|20240101|CFe35|10.00|cpf|qr";

struct ClassCase {
  std::string name;
  std::string line;    // request line of the filled message, line feed included
  std::string answer;  // the device's answer to it
  bool blocking;
  std::function<std::string()> pull;
  // Decodes echo and answer; checks the class's own fields, returns the base.
  std::function<Common(const std::string& received)> decode;
};

void PrintTo(const ClassCase& c, std::ostream* out) { *out << c.name; }

template <class E, class R>
ClassCase classCase(std::string name, std::function<void(E&)> fill, std::string line,
                    std::string answer, std::function<void(const R&)> checkOwn = nullptr) {
  ClassCase c{std::move(name), std::move(line), std::move(answer), R().blockingRead(), nullptr,
              nullptr};
  c.pull = [fill] {
    E request;
    request.numeroSessao = 42;
    fill(request);
    return request.pullMessageToSend();
  };
  c.decode = [fill, checkOwn](const std::string& received) {
    E request;
    request.numeroSessao = 42;
    fill(request);
    const R response = decode<R>(request, received);
    if (checkOwn) checkOwn(response);
    return commonOf(response);
  };
  return c;
}

void saleFields(int32_t CCCC, const std::string& b64, const std::string& qr) {
  EXPECT_EQ(CCCC, 1234);
  EXPECT_EQ(b64, "b64");
  EXPECT_EQ(qr, "qr");
}

std::vector<ClassCase> allClasses() {
  return {
      classCase<EnvioAtivarSAT, RetornoAtivarSAT>(
          "AtivarSAT",
          [](auto& m) {
            m.subComando = 2;
            m.codigoDeAtivacao = "codigo";
            m.CNPJ = "16716114000172";
            m.cUF = 35;
          },
          "0|000042|2|codigo|16716114000172|35\n", kCommon + "|CSRTEXT",
          [](const RetornoAtivarSAT& r) { EXPECT_EQ(r.CSR, "CSRTEXT"); }),
      classCase<EnvioComunicarCertificadoICPBRASIL, RetornoComunicarCertificadoICPBRASIL>(
          "ComunicarCertificadoICPBRASIL",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.certificado = "MIIcert";
          },
          "1|000042|codigo|MIIcert\n", kCommon),
      classCase<EnvioEnviarDadosVenda, RetornoEnviarDadosVenda>(
          "EnviarDadosVenda",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.dadosVenda = "<CFe/>";
          },
          "2|000042|codigo|<CFe/>\n", kSale,
          [](const RetornoEnviarDadosVenda& r) {
            saleFields(r.CCCC, r.arquivoCFeBase64, r.assinaturaQRCODE);
            EXPECT_EQ(r.timeStamp + r.chaveConsulta + r.valorTotalCFe + r.CPFCNPJValue,
                      "20240101CFe3510.00cpf");
          }),
      classCase<EnvioCancelarUltimaVenda, RetornoCancelarUltimaVenda>(
          "CancelarUltimaVenda",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.chave = "CFe35";
            m.dadosCancelamento = "<CFeCanc/>";
          },
          "3|000042|codigo|CFe35|<CFeCanc/>\n", kSale,
          [](const RetornoCancelarUltimaVenda& r) {
            saleFields(r.CCCC, r.arquivoCFeBase64, r.assinaturaQRCODE);
            EXPECT_EQ(r.timeStamp + r.chaveConsulta + r.valorTotalCFe + r.CPFCNPJValue,
                      "20240101CFe3510.00cpf");
          }),
      classCase<EnvioConsultarSAT, RetornoConsultarSAT>(
          "ConsultarSAT", [](auto&) {}, "4|000042\n", kCommon),
      classCase<EnvioTesteFimAFim, RetornoTesteFimAFim>(
          "TesteFimAFim",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.dadosVenda = "<CFe/>";
          },
          "5|000042|codigo|<CFe/>\n", kCommon + "|b64|ts|num|chave",
          [](const RetornoTesteFimAFim& r) {
            EXPECT_EQ(r.arquivoCFeBase64 + "," + r.timeStamp + "," + r.numDocFiscal + "," +
                          r.chaveConsulta,
                      "b64,ts,num,chave");
          }),
      classCase<EnvioConsultarStatusOperacional, RetornoConsultarStatusOperacional>(
          "ConsultarStatusOperacional", [](auto& m) { m.codigoDeAtivacao = "codigo"; },
          "6|000042|codigo\n", kCommon + "|a||c",
          [](const RetornoConsultarStatusOperacional& r) { EXPECT_EQ(r.dadosStatus, "a||c"); }),
      classCase<EnvioConsultarNumeroSessao, RetornoConsultarNumeroSessao>(
          "ConsultarNumeroSessao",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.cNumeroDeSessao = 7;
          },
          "7|000042|codigo|7\n", kCommon),
      classCase<EnvioConfigurarInterfaceDeRede, RetornoConfigurarInterfaceDeRede>(
          "ConfigurarInterfaceDeRede",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.setDadosConfiguracao("<config><lanIP>010.000.000.001</lanIP></config>");
          },
          "8|000042|codigo|<?xml version=\"1.0\"?>\n<config>\n\t<lanIP>10.0.0.1</lanIP>\n"
          "</config>\n\n",
          kCommon),
      classCase<EnvioAssociarAssinatura, RetornoAssociarAssinatura>(
          "AssociarAssinatura",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.CNPJvalue = "1671611400017216716114000172";
            m.assinaturaCNPJs = "assinatura";
          },
          "9|000042|codigo|1671611400017216716114000172|assinatura\n", kCommon),
      classCase<EnvioAtualizarSoftwareSAT, RetornoAtualizarSoftwareSAT>(
          "AtualizarSoftwareSAT", [](auto& m) { m.codigoDeAtivacao = "codigo"; },
          "10|000042|codigo\n", kCommon),
      classCase<EnvioExtrairLogs, RetornoExtrairLogs>(
          "ExtrairLogs", [](auto& m) { m.codigoDeAtivacao = "codigo"; }, "11|000042|codigo\n",
          kCommon + "|bG9n", [](const RetornoExtrairLogs& r) { EXPECT_EQ(r.arquivoLog, "bG9n"); }),
      classCase<EnvioBloquearSAT, RetornoBloquearSAT>(
          "BloquearSAT", [](auto& m) { m.codigoDeAtivacao = "codigo"; }, "12|000042|codigo\n",
          kCommon),
      classCase<EnvioDesbloquearSAT, RetornoDesbloquearSAT>(
          "DesbloquearSAT", [](auto& m) { m.codigoDeAtivacao = "codigo"; }, "13|000042|codigo\n",
          kCommon),
      classCase<EnvioTrocarCodigoDeAtivacao, RetornoTrocarCodigoDeAtivacao>(
          "TrocarCodigoDeAtivacao",
          [](auto& m) {
            m.codigoDeAtivacao = "codigo";
            m.opcao = 2;
            m.novoCodigo = "novo";
            m.confNovoCodigo = "novo";
          },
          "14|000042|codigo|2|novo|novo\n", kCommon),
      classCase<EnvioConsultarUltimaSessaoFiscal, RetornoConsultarUltimaSessaoFiscal>(
          "ConsultarUltimaSessaoFiscal", [](auto& m) { m.codigoDeAtivacao = "codigo"; },
          "15|000042|codigo\n", kCommon),
  };
}

class EveryClass : public testing::TestWithParam<ClassCase> {};

TEST_P(EveryClass, WritesItsRequestLine) { EXPECT_EQ(GetParam().pull(), GetParam().line); }

TEST_P(EveryClass, SkipsTheEchoAndDecodesTheAnswer) {
  const ClassCase& c = GetParam();
  // The device echoes the line as it arrived: the channel strips line feeds.
  std::string echo;
  for (char ch : c.line)
    if (ch != '\n') echo += ch;
  EXPECT_EQ(c.decode(echo + "\n" + c.answer + "\n"),
            (Common{42, 6000, "mensagem", 123, "sefaz", c.answer}));
}

TEST_P(EveryClass, OnlyTheStatusQueryPolls) {
  EXPECT_EQ(GetParam().blocking, GetParam().name != "ConsultarSAT");
}

INSTANTIATE_TEST_SUITE_P(Messages, EveryClass, testing::ValuesIn(allClasses()),
                         [](const auto& info) { return info.param.name; });

TEST(FreshRequest, CarriesTheDefaults) {
  EXPECT_EQ(EnvioAtivarSAT().pullMessageToSend(), "0|000000|1|||35\n");
  EXPECT_EQ(EnvioTrocarCodigoDeAtivacao().pullMessageToSend(), "14|000000||1||\n");
  EXPECT_EQ(EnvioConsultarSAT().pullMessageToSend(), "4|000000\n");
  EXPECT_EQ(EnvioConfigurarInterfaceDeRede().pullMessageToSend(), "8|000000||\n");
}

TEST(FunctionToPipe, CarriesFieldsUnchanged) {
  EXPECT_EQ(MessagesUtil::functionToPipe(ENVIAR_DADOS_VENDA, 7, std::string("a|b"),
                                         std::string("<x>\n</x>\n")),
            "2|000007|a|b|<x>\n</x>\n\n");
  EXPECT_EQ(MessagesUtil::functionToPipe(CONSULTAR_NUMERO_SESSAO, -12, std::string(), -5),
            "7|000-12||-5\n");
}

TEST(FormatSession, PadsOnTheLeftOfTheWholeNumber) {
  const struct {
    int32_t in;
    const char* out;
  } cases[] = {{0, "000000"},          {1, "000001"},
               {999999, "999999"},     {1234567, "1234567"},
               {-1, "0000-1"},         {std::numeric_limits<int32_t>::min(), "-2147483648"}};
  for (const auto& c : cases) EXPECT_EQ(MessagesUtil::formatSession(c.in), c.out) << c.in;
}

TEST(IsNumber, AcceptsAsciiDigitsOnly) {
  for (const char* yes : {"0", "06000", "99999999999999"}) EXPECT_TRUE(MessagesUtil::isNumber(yes));
  for (const char* no : {"", "-1", "+1", " 1", "1 ", "1.0", "12abc", "\xd9\xa1"})
    EXPECT_FALSE(MessagesUtil::isNumber(no)) << no;
}

TEST(ResponseParser, NormalisesTheFirstField) {
  EXPECT_EQ(MessagesUtil::responseParser("42|06000|texto|0|"), "000042|06000|texto|0|");
  EXPECT_EQ(MessagesUtil::responseParser("7x|1"), "000007|1");
  EXPECT_EQ(MessagesUtil::responseParser(" -3|1"), "0000-3|1");
  EXPECT_EQ(MessagesUtil::responseParser("1234567|1"), "1234567|1");
  EXPECT_THROW(MessagesUtil::responseParser("|06000|x"), std::invalid_argument);
  EXPECT_THROW(MessagesUtil::responseParser("12345"), std::out_of_range);
  EXPECT_THROW(MessagesUtil::responseParser("99999999999|1"), std::out_of_range);
}

}  // namespace
}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
