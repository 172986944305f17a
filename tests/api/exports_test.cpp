// SPDX-License-Identifier: MIT
// The shared library must export its interface and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> definedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only " + library;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    // "<address> <type> <name>"; the version node shows as an absolute symbol.
    char type = 0;
    char name[4000];
    if (std::sscanf(line, "%*s %c %3999s", &type, name) == 2 && type != 'A') names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(Exports, ExactlyTheInterface) {
  const std::set<std::string> expected = {
      "TivaxlibInit", "TivaxlibDeInit", "ConfigurarPortaSerial", "DispositivoConectado",
      "DesalocarString", "AtivarSAT", "ComunicarCertificadoICPBRASIL", "EnviarDadosVenda",
      "CancelarUltimaVenda", "ConsultarSAT", "TesteFimAFim", "ConsultarStatusOperacional",
      "ConsultarNumeroSessao", "ConfigurarInterfaceDeRede", "AssociarAssinatura",
      "AtualizarSoftwareSAT", "ExtrairLogs", "BloquearSAT", "DesbloquearSAT",
      "TrocarCodigoDeAtivacao", "ConsultarUltimaSessaoFiscal",
      // The node the library's own additions come in.
      "TivaxlibUltimoErro@@TIVAX_1.1",
      // consultaBloqueio(char const*), retornoInvalido(), AllocAndBuildRet(std::string const&)
      "_Z16consultaBloqueioPKc@@TIVAX_1", "_Z15retornoInvalidov@@TIVAX_1",
      "_Z16AllocAndBuildRetRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE@@TIVAX_1"};
  std::set<std::string> plain;
  for (const std::string& name : expected)
    plain.insert(name.find('@') == std::string::npos ? name + "@@TIVAX_1" : name);
  EXPECT_EQ(definedDynamicSymbols(TIVAX_SHARED_LIBRARY), plain);
}

}  // namespace
