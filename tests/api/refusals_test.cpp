// SPDX-License-Identifier: MIT
// Calls refused for their arguments must not create the device object nor
// touch any device: this program checks that before anything else runs.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/tivax.h"
#include "tivax.h"

namespace {

struct Refusal {
  const char* name;
  std::function<char*()> call;
  std::string reason;  // what TivaxlibUltimoErro says
};

std::string nullArgument(const char* parameter, const char* function) {
  return std::string("argumento nulo: ") + parameter + " é NULL em " + function;
}

TEST(Refusals, NullTextsAndBadSessionQueriesGiveTheInvalidResultWithoutTheDevice) {
  const char* c = "12345678";
  const std::vector<Refusal> cases = {
      {"AtivarSAT code", [] { return AtivarSAT(1, 1, nullptr, "cnpj", 35); },
       nullArgument("codigoDeAtivacao", "AtivarSAT")},
      {"AtivarSAT CNPJ", [c] { return AtivarSAT(1, 1, c, nullptr, 35); },
       nullArgument("CNPJ", "AtivarSAT")},
      {"Certificado code", [] { return ComunicarCertificadoICPBRASIL(1, nullptr, "x"); },
       nullArgument("codigoDeAtivacao", "ComunicarCertificadoICPBRASIL")},
      {"Certificado text", [c] { return ComunicarCertificadoICPBRASIL(1, c, nullptr); },
       nullArgument("certificado", "ComunicarCertificadoICPBRASIL")},
      {"Venda code", [] { return EnviarDadosVenda(1, nullptr, "<CFe/>"); },
       nullArgument("codigoDeAtivacao", "EnviarDadosVenda")},
      {"Venda xml", [c] { return EnviarDadosVenda(1, c, nullptr); },
       nullArgument("dadosVenda", "EnviarDadosVenda")},
      {"Cancelar code", [] { return CancelarUltimaVenda(1, nullptr, "k", "x"); },
       nullArgument("codigoDeAtivacao", "CancelarUltimaVenda")},
      {"Cancelar chave", [c] { return CancelarUltimaVenda(1, c, nullptr, "x"); },
       nullArgument("chave", "CancelarUltimaVenda")},
      {"Cancelar xml", [c] { return CancelarUltimaVenda(1, c, "k", nullptr); },
       nullArgument("dadosCancelamento", "CancelarUltimaVenda")},
      {"TesteFimAFim code", [] { return TesteFimAFim(1, nullptr, "x"); },
       nullArgument("codigoDeAtivacao", "TesteFimAFim")},
      {"TesteFimAFim xml", [c] { return TesteFimAFim(1, c, nullptr); },
       nullArgument("dadosVenda", "TesteFimAFim")},
      {"Status", [] { return ConsultarStatusOperacional(1, nullptr); },
       nullArgument("codigoDeAtivacao", "ConsultarStatusOperacional")},
      {"NumeroSessao code", [] { return ConsultarNumeroSessao(1, nullptr, 5); },
       nullArgument("codigoDeAtivacao", "ConsultarNumeroSessao")},
      {"NumeroSessao zero", [c] { return ConsultarNumeroSessao(1, c, 0); },
       "argumento inválido: cNumeroDeSessao precisa ser 1 ou mais, e é 0"},
      {"NumeroSessao negative", [c] { return ConsultarNumeroSessao(1, c, -3); },
       "argumento inválido: cNumeroDeSessao precisa ser 1 ou mais, e é -3"},
      {"Rede code", [] { return ConfigurarInterfaceDeRede(1, nullptr, "<config/>"); },
       nullArgument("codigoDeAtivacao", "ConfigurarInterfaceDeRede")},
      {"Rede xml", [c] { return ConfigurarInterfaceDeRede(1, c, nullptr); },
       nullArgument("dadosConfiguracao", "ConfigurarInterfaceDeRede")},
      {"Associar code", [] { return AssociarAssinatura(1, nullptr, "a", "b"); },
       nullArgument("codigoDeAtivacao", "AssociarAssinatura")},
      {"Associar CNPJ", [c] { return AssociarAssinatura(1, c, nullptr, "b"); },
       nullArgument("CNPJvalue", "AssociarAssinatura")},
      {"Associar assinatura", [c] { return AssociarAssinatura(1, c, "a", nullptr); },
       nullArgument("assinaturaCNPJs", "AssociarAssinatura")},
      {"Atualizar", [] { return AtualizarSoftwareSAT(1, nullptr); },
       nullArgument("codigoDeAtivacao", "AtualizarSoftwareSAT")},
      {"Logs", [] { return ExtrairLogs(1, nullptr); },
       nullArgument("codigoDeAtivacao", "ExtrairLogs")},
      {"Bloquear", [] { return BloquearSAT(1, nullptr); },
       nullArgument("codigoDeAtivacao", "BloquearSAT")},
      {"Desbloquear", [] { return DesbloquearSAT(1, nullptr); },
       nullArgument("codigoDeAtivacao", "DesbloquearSAT")},
      {"Trocar code", [] { return TrocarCodigoDeAtivacao(1, nullptr, 1, "a", "a"); },
       nullArgument("codigoDeAtivacao", "TrocarCodigoDeAtivacao")},
      {"Trocar novo", [c] { return TrocarCodigoDeAtivacao(1, c, 1, nullptr, "a"); },
       nullArgument("novoCodigo", "TrocarCodigoDeAtivacao")},
      {"Trocar conf", [c] { return TrocarCodigoDeAtivacao(1, c, 1, "a", nullptr); },
       nullArgument("confNovoCodigo", "TrocarCodigoDeAtivacao")},
      {"UltimaSessao", [] { return ConsultarUltimaSessaoFiscal(1, nullptr); },
       nullArgument("codigoDeAtivacao", "ConsultarUltimaSessaoFiscal")},
  };
  for (const Refusal& r : cases) {
    char* result = r.call();
    ASSERT_NE(result, nullptr) << r.name;
    EXPECT_STREQ(result, "") << r.name;
    DesalocarString(result);
    EXPECT_EQ(TivaxlibUltimoErro(), r.reason) << r.name;
  }
  EXPECT_EQ(ConfigurarPortaSerial(nullptr), 0);
  EXPECT_EQ(TivaxlibUltimoErro(), nullArgument("porta", "ConfigurarPortaSerial"));
  EXPECT_EQ(ConfigurarPortaSerial(""), 0);
  EXPECT_STREQ(TivaxlibUltimoErro(), "argumento inválido: porta é um texto vazio");
  DesalocarString(nullptr);
  EXPECT_FALSE(Tivaxlib::Tivax::instanceCreated());
}

TEST(ResultStrings, AreZeroTerminatedCopiesOfEveryByte) {
  const std::string text("a\0b|c", 5);
  char* s = AllocAndBuildRet(text);
  EXPECT_EQ(std::string(s, 6), std::string("a\0b|c\0", 6));
  DesalocarString(s);
  char* invalid = retornoInvalido();
  EXPECT_STREQ(invalid, "");
  DesalocarString(invalid);
}

// A sale the library refuses for its XML never needs the device: with no
// device to be found, the caller still gets the 06010 line.
TEST(Refusals, MalformedSaleWithoutADeviceGetsTheRefusalLine) {
  ConfigurarPortaSerial("/nonexistent/ttyACM9");  // 1: recorded, though it does not open
  char* result = EnviarDadosVenda(12, "12345678", "<CFe><infCFe>");
  ASSERT_NE(result, nullptr);
  const std::string line = result;
  DesalocarString(result);
  EXPECT_EQ(line.rfind("000012|06010|1999|Erro no XML: ", 0), 0u) << line;
  EXPECT_EQ(line.substr(line.size() - 2), "||") << line;
  EXPECT_STREQ(TivaxlibUltimoErro(), "");
}

}  // namespace
