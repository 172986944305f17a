// SPDX-License-Identifier: MIT
// What the log shows of each function's request, and of lines that come
// back with it: the codes that unlock the device never, bulky fields cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "messages/request_fields.h"
#include "messages/send_messages.h"

namespace {

using namespace Tivaxlib::Transactions::Messages;

const std::string kSecret = "Segredo-7731";
const std::string kNewSecret = "Novo-99172";
const std::string kCertificate = "MIIC" + std::string(2000, 'Q');

template <class T>
std::unique_ptr<SendMessageBase> make(std::function<void(T&)> fill) {
  auto request = std::make_unique<T>();
  request->numeroSessao = 42;
  fill(*request);
  return request;
}

std::vector<std::unique_ptr<SendMessageBase>> everyRequest() {
  std::vector<std::unique_ptr<SendMessageBase>> all;
  all.push_back(make<EnvioAtivarSAT>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.CNPJ = "58473629000139";
    r.cUF = 35;
  }));
  all.push_back(make<EnvioComunicarCertificadoICPBRASIL>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.certificado = kCertificate;
  }));
  all.push_back(make<EnvioEnviarDadosVenda>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.dadosVenda = "<CFe/>";
  }));
  all.push_back(make<EnvioCancelarUltimaVenda>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.chave = "CFe35";
    r.dadosCancelamento = "<CFeCanc/>";
  }));
  all.push_back(make<EnvioConsultarSAT>([](auto&) {}));
  all.push_back(make<EnvioTesteFimAFim>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.dadosVenda = "<CFe/>";
  }));
  all.push_back(make<EnvioConsultarStatusOperacional>([](auto& r) { r.codigoDeAtivacao = kSecret; }));
  all.push_back(make<EnvioConsultarNumeroSessao>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.cNumeroDeSessao = 7;
  }));
  all.push_back(make<EnvioConfigurarInterfaceDeRede>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.setDadosConfiguracao("<config><tipoInter>ETHE</tipoInter></config>");
  }));
  all.push_back(make<EnvioAssociarAssinatura>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.CNPJvalue = "16716114000172";
    r.assinaturaCNPJs = "c2lnbmF0dXJl";
  }));
  all.push_back(make<EnvioAtualizarSoftwareSAT>([](auto& r) { r.codigoDeAtivacao = kSecret; }));
  all.push_back(make<EnvioExtrairLogs>([](auto& r) { r.codigoDeAtivacao = kSecret; }));
  all.push_back(make<EnvioBloquearSAT>([](auto& r) { r.codigoDeAtivacao = kSecret; }));
  all.push_back(make<EnvioDesbloquearSAT>([](auto& r) { r.codigoDeAtivacao = kSecret; }));
  all.push_back(make<EnvioTrocarCodigoDeAtivacao>([](auto& r) {
    r.codigoDeAtivacao = kSecret;
    r.opcao = 2;
    r.novoCodigo = kNewSecret;
    r.confNovoCodigo = kNewSecret;
  }));
  all.push_back(make<EnvioConsultarUltimaSessaoFiscal>([](auto& r) { r.codigoDeAtivacao = kSecret; }));
  return all;
}

// The line as it travels: the channel drops every line feed and ends it
// with one of its own.
std::string asTravelled(std::string line) {
  line.erase(std::remove(line.begin(), line.end(), '\n'), line.end());
  return line;
}

// Every function, the request and its echo: the line keeps its shape, the
// secrets are gone, and the same holds with fields asked for whole.
TEST(RequestForLog, EveryFunctionMasksItsCodes) {
  for (const bool complete : {false, true}) {
    Tivaxlib::Log::setCompleteFields(complete);
    for (const auto& request : everyRequest()) {
      const std::string sent = asTravelled(request->pullMessageToSend());
      const std::string logged = requestLineForLog(*request);
      const std::string echoed = receivedLineForLog(*request, sent);
      const std::string function = requestLayout(request->functionId()).function;
      for (const std::string& text : {logged, echoed, request->pullMessageToLog()}) {
        EXPECT_EQ(text.find(kSecret), std::string::npos) << function << ": " << text;
        EXPECT_EQ(text.find(kNewSecret), std::string::npos) << function << ": " << text;
      }
      EXPECT_EQ(logged, echoed) << function;
      EXPECT_EQ(std::count(logged.begin(), logged.end(), '|'),
                std::count(sent.begin(), sent.end(), '|'))
          << function;
      if (request->functionId() != CONSULTAR_SAT) {
        EXPECT_NE(logged.find("|********"), std::string::npos) << function;
      }
    }
  }
  Tivaxlib::Log::setCompleteFields(false);
}

TEST(RequestForLog, BulkyFieldsShortenedUnlessAskedWhole) {
  const auto all = everyRequest();
  const SendMessageBase& certificate = *all[1];
  EXPECT_EQ(requestLineForLog(certificate),
            "1|000042|********|MIIC" + std::string(60, 'Q') + "...(2004 bytes)");
  // Short as it is, the signature is cut as well.
  EXPECT_EQ(requestLineForLog(*all[9]), "9|000042|********|16716114000172|c2lnbmF0dXJl...(12 bytes)");
  Tivaxlib::Log::setCompleteFields(true);
  EXPECT_EQ(requestLineForLog(certificate), "1|000042|********|" + kCertificate);
  Tivaxlib::Log::setCompleteFields(false);
}

// A line that is not the echo (an answer, garbage) still has any code of
// the request that stands in it masked.
TEST(RequestForLog, CodesMaskedInAnyLineThatComesBack) {
  const auto all = everyRequest();
  const SendMessageBase& exchange = *all[14];
  EXPECT_EQ(receivedLineForLog(exchange, "000042|18000|troca para " + kNewSecret + "||"),
            "000042|18000|troca para ********||");
  EXPECT_EQ(receivedLineForLog(exchange, "garbage" + kSecret + "garbage"), "garbage********garbage");
}

// Codes of 1 to 4 bytes: masked wherever they make a whole field of a line
// that comes back (searching them inside text would mask half the answer);
// from 4 bytes on, wherever they stand. A code with line breaks is masked
// as it travels, without them.
TEST(RequestForLog, ShortCodesMaskedInLinesThatComeBack) {
  const struct {
    std::string code;
    std::string received;
    std::string logged;
  } cases[] = {
      {"7", "13|000042|7", "13|000042|********"},
      {"7", "000042|13000|7|0|17", "000042|13000|********|0|17"},
      {"12", "000042|13000|12|12x|", "000042|13000|********|12x|"},
      {"abc", "abc|000042|abc", "********|000042|********"},
      {"abcd", "000042|13000|xabcdx", "000042|13000|x********x"},
      {"ab\r\ncd", "000042|13000|abcd", "000042|13000|********"},
      {"a\n", "13|000042|a", "13|000042|********"},
  };
  for (const auto& c : cases) {
    EnvioBloquearSAT block;
    block.numeroSessao = 42;
    block.codigoDeAtivacao = c.code;
    EXPECT_EQ(receivedLineForLog(block, c.received), c.logged) << c.received;
  }
}

// The network configuration goes into the log with its Wi-Fi passphrase
// and its proxy password masked, sent and echoed alike.
TEST(RequestForLog, NetworkSecretsMasked) {
  EnvioConfigurarInterfaceDeRede configure;
  configure.numeroSessao = 42;
  configure.codigoDeAtivacao = kSecret;
  configure.setDadosConfiguracao(
      "<config><tipoInter>WIFI</tipoInter><SSID>loja</SSID><seg>WPA-PERSONAL</seg>"
      "<codigo>senha-do-wifi</codigo><proxy>1</proxy><proxy_user>caixa</proxy_user>"
      "<proxy_senha>senha-do-proxy</proxy_senha></config>");
  const std::string sent = requestLineForLog(configure);
  EXPECT_EQ(sent.find("senha-do-"), std::string::npos) << sent;
  EXPECT_NE(sent.find("<codigo>********</codigo>"), std::string::npos) << sent;
  EXPECT_NE(sent.find("<proxy_senha>********</proxy_senha>"), std::string::npos) << sent;
  EXPECT_NE(sent.find("<proxy_user>caixa</proxy_user>"), std::string::npos) << sent;
  const std::string echoed = receivedLineForLog(configure, configure.pullMessageToSend());
  EXPECT_EQ(echoed.find("senha-do-"), std::string::npos) << echoed;
}

}  // namespace
