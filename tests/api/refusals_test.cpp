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
};

TEST(Refusals, NullTextsAndBadSessionQueriesGiveTheInvalidResultWithoutTheDevice) {
  const char* c = "12345678";
  const std::vector<Refusal> cases = {
      {"AtivarSAT code", [] { return AtivarSAT(1, 1, nullptr, "cnpj", 35); }},
      {"AtivarSAT CNPJ", [c] { return AtivarSAT(1, 1, c, nullptr, 35); }},
      {"Certificado code", [] { return ComunicarCertificadoICPBRASIL(1, nullptr, "x"); }},
      {"Certificado text", [c] { return ComunicarCertificadoICPBRASIL(1, c, nullptr); }},
      {"Venda code", [] { return EnviarDadosVenda(1, nullptr, "<CFe/>"); }},
      {"Venda xml", [c] { return EnviarDadosVenda(1, c, nullptr); }},
      {"Cancelar code", [] { return CancelarUltimaVenda(1, nullptr, "k", "x"); }},
      {"Cancelar chave", [c] { return CancelarUltimaVenda(1, c, nullptr, "x"); }},
      {"Cancelar xml", [c] { return CancelarUltimaVenda(1, c, "k", nullptr); }},
      {"TesteFimAFim code", [] { return TesteFimAFim(1, nullptr, "x"); }},
      {"TesteFimAFim xml", [c] { return TesteFimAFim(1, c, nullptr); }},
      {"Status", [] { return ConsultarStatusOperacional(1, nullptr); }},
      {"NumeroSessao code", [] { return ConsultarNumeroSessao(1, nullptr, 5); }},
      {"NumeroSessao zero", [c] { return ConsultarNumeroSessao(1, c, 0); }},
      {"NumeroSessao negative", [c] { return ConsultarNumeroSessao(1, c, -3); }},
      {"Rede code", [] { return ConfigurarInterfaceDeRede(1, nullptr, "<config/>"); }},
      {"Rede xml", [c] { return ConfigurarInterfaceDeRede(1, c, nullptr); }},
      {"Associar code", [] { return AssociarAssinatura(1, nullptr, "a", "b"); }},
      {"Associar CNPJ", [c] { return AssociarAssinatura(1, c, nullptr, "b"); }},
      {"Associar assinatura", [c] { return AssociarAssinatura(1, c, "a", nullptr); }},
      {"Atualizar", [] { return AtualizarSoftwareSAT(1, nullptr); }},
      {"Logs", [] { return ExtrairLogs(1, nullptr); }},
      {"Bloquear", [] { return BloquearSAT(1, nullptr); }},
      {"Desbloquear", [] { return DesbloquearSAT(1, nullptr); }},
      {"Trocar code", [] { return TrocarCodigoDeAtivacao(1, nullptr, 1, "a", "a"); }},
      {"Trocar novo", [c] { return TrocarCodigoDeAtivacao(1, c, 1, nullptr, "a"); }},
      {"Trocar conf", [c] { return TrocarCodigoDeAtivacao(1, c, 1, "a", nullptr); }},
      {"UltimaSessao", [] { return ConsultarUltimaSessaoFiscal(1, nullptr); }},
  };
  for (const Refusal& r : cases) {
    char* result = r.call();
    ASSERT_NE(result, nullptr) << r.name;
    EXPECT_STREQ(result, "") << r.name;
    DesalocarString(result);
  }
  EXPECT_EQ(ConfigurarPortaSerial(nullptr), 0);
  EXPECT_EQ(ConfigurarPortaSerial(""), 0);
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

}  // namespace
