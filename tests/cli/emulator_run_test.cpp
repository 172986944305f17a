// The tool end to end, against the emulator it starts in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_cli.h"

namespace tivaxcli {
namespace {

TEST(CliAgainstEmulator, StatusAsJson) {
  const Outcome result =
      runTool({"--emulador", "--sessao", "321", "--json", "consultar-status", "--codigo", "12345678"});
  ASSERT_EQ(result.status, kValidAnswer) << result.err;
  EXPECT_EQ(result.out.rfind("{\"numeroSessao\":\"000321\",\"EEEEE\":\"10000\",", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("\"ESTADO_OPERACAO\":"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("campo"), std::string::npos) << "more than 28 fields: " << result.out;
}

TEST(CliAgainstEmulator, MalformedSaleIsAnsweredByTheLibrary) {
  const std::string path = ::testing::TempDir() + "tivax_cli_venda_invalida.xml";
  std::ofstream(path) << "<CFe><infCFe versaoDadosEnt=\"0.07\"/></CFe>\n";
  const Outcome result =
      runTool({"--emulador", "--campos", "enviar-venda", "--codigo", "12345678", "--arquivo", path});
  std::remove(path.c_str());
  ASSERT_EQ(result.status, kValidAnswer) << result.err;
  EXPECT_NE(result.out.find("\nEEEEE=06010\nCCCC=1999\nmensagem=Erro no XML"), std::string::npos)
      << result.out;
}

TEST(CliAgainstEmulator, UnreachablePortGivesTheInvalidResult) {
  const Outcome result = runTool({"--porta", ::testing::TempDir() + "tivax-nao-existe", "consultar-sat"});
  EXPECT_EQ(result.status, kInvalidResult);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("resultado inválido"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace tivaxcli
