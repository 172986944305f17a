// SPDX-License-Identifier: MIT
#include "functions.h"

#include <cstdlib>

#include "tivax.h"

namespace tivaxhub {

namespace {

int number(const std::string& text) { return std::atoi(text.c_str()); }

// TrocarCodigoDeAtivacao's option 2 proves the caller with the emergency
// code instead of the activation code; the confirmation of the new code is
// the hub's own, since the client sent it once.
char* trocarCodigo(int session, const char* code, const FieldValues& v) {
  const int opcao = number(v[1]);
  return TrocarCodigoDeAtivacao(session, opcao == 2 ? v[2].c_str() : code, opcao, v[0].c_str(),
                                v[0].c_str());
}

}  // namespace

const std::vector<HubFunction>& hubFunctions() {
  using K = FieldKind;
  static const std::vector<HubFunction> table = {
      {"ativarsat", "AtivarSAT",
       {{"tipo_certificado", K::Integer, 1, 3}, {"cnpj", K::Digits, 14}, {"codigo_uf", K::Integer, 11, 53}},
       true, false,
       [](int s, const char* c, const FieldValues& v) {
         return AtivarSAT(s, number(v[0]), c, v[1].c_str(), number(v[2]));
       }},
      {"comunicarcertificadoicpbrasil", "ComunicarCertificadoICPBRASIL",
       {{"certificado", K::Text}}, true, false,
       [](int s, const char* c, const FieldValues& v) {
         return ComunicarCertificadoICPBRASIL(s, c, v[0].c_str());
       }},
      {"enviardadosvenda", "EnviarDadosVenda", {{"dados_venda", K::Sale}}, false, false,
       [](int s, const char* c, const FieldValues& v) { return EnviarDadosVenda(s, c, v[0].c_str()); }},
      {"cancelarultimavenda", "CancelarUltimaVenda",
       {{"chave_cfe", K::AccessKey}, {"dados_cancelamento", K::Sale}}, false, false,
       [](int s, const char* c, const FieldValues& v) {
         return CancelarUltimaVenda(s, c, v[0].c_str(), v[1].c_str());
       }},
      {"consultarsat", "ConsultarSAT", {}, false, true,
       [](int s, const char*, const FieldValues&) { return ConsultarSAT(s); }},
      {"testefimafim", "TesteFimAFim", {{"dados_venda", K::Sale}}, false, false,
       [](int s, const char* c, const FieldValues& v) { return TesteFimAFim(s, c, v[0].c_str()); }},
      {"consultarstatusoperacional", "ConsultarStatusOperacional", {}, false, true,
       [](int s, const char* c, const FieldValues&) { return ConsultarStatusOperacional(s, c); }},
      {"consultarnumerosessao", "ConsultarNumeroSessao", {{"numero_sessao", K::Integer, 1, 999999}},
       false, true,
       [](int s, const char* c, const FieldValues& v) {
         return ConsultarNumeroSessao(s, c, number(v[0]));
       }},
      {"configurarinterfacederede", "ConfigurarInterfaceDeRede", {{"configuracao", K::Xml}}, true,
       false,
       [](int s, const char* c, const FieldValues& v) {
         return ConfigurarInterfaceDeRede(s, c, v[0].c_str());
       }},
      {"associarassinatura", "AssociarAssinatura",
       {{"sequencia_cnpj", K::Digits, 28}, {"assinatura_ac", K::Text}}, true, false,
       [](int s, const char* c, const FieldValues& v) {
         return AssociarAssinatura(s, c, v[0].c_str(), v[1].c_str());
       }},
      {"atualizarsoftwaresat", "AtualizarSoftwareSAT", {}, true, false,
       [](int s, const char* c, const FieldValues&) { return AtualizarSoftwareSAT(s, c); }},
      {"extrairlogs", "ExtrairLogs", {}, false, true,
       [](int s, const char* c, const FieldValues&) { return ExtrairLogs(s, c); }},
      {"bloquearsat", "BloquearSAT", {}, true, false,
       [](int s, const char* c, const FieldValues&) { return BloquearSAT(s, c); }},
      {"desbloquearsat", "DesbloquearSAT", {}, true, false,
       [](int s, const char* c, const FieldValues&) { return DesbloquearSAT(s, c); }},
      {"trocarcodigodeativacao", "TrocarCodigoDeAtivacao",
       {{"novo_codigo_ativacao", K::Code},
        {"opcao", K::Integer, 1, 2},
        {"codigo_emergencia", K::Code, 0, 0, true}},
       true, false, trocarCodigo},
      {"consultarultimasessaofiscal", "ConsultarUltimaSessaoFiscal", {}, false, true,
       [](int s, const char* c, const FieldValues&) { return ConsultarUltimaSessaoFiscal(s, c); }},
  };
  return table;
}

const HubFunction* findFunction(const std::string& path) {
  for (const HubFunction& function : hubFunctions())
    if (path == function.path) return &function;
  return nullptr;
}

const HubFunction& consultarNumeroSessaoFunction() { return *findFunction("consultarnumerosessao"); }

}  // namespace tivaxhub
