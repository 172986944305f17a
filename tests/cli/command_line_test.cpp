// SPDX-License-Identifier: MIT
// The tool's command line: what it refuses (status 2, nothing sent), what
// it accepts, and its help texts.
#include "command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "help_text.h"
#include "run_cli.h"
#include "subcommands.h"
#include "tivax_version.h"

namespace tivaxcli {
namespace {

struct BadUsage {
  std::vector<std::string> args;
  std::string message;  // part of what is said on standard error
};

class RefusedLine : public ::testing::TestWithParam<BadUsage> {};

bool asksForJson(const std::vector<std::string>& args) {
  for (const std::string& word : args)
    if (word == "--json") return true;
  return false;
}

TEST_P(RefusedLine, ExitsWithTwoAndSaysWhy) {
  const Outcome result = runTool(GetParam().args);
  EXPECT_EQ(result.status, kBadUsage);
  if (asksForJson(GetParam().args))  // a program reading the output still gets one object
    EXPECT_EQ(result.out.rfind("{\"erro\":\"", 0), 0u) << result.out;
  else
    EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("--help"), std::string::npos) << "no pointer to the help: " << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, RefusedLine,
    ::testing::Values(
        BadUsage{{}, "falta o subcomando"}, BadUsage{{"--json"}, "falta o subcomando"},
        BadUsage{{"consultar-tudo"}, "subcomando desconhecido: \"consultar-tudo\""},
        BadUsage{{"consultar-sat", "consultar-status"}, "argumento inesperado"},
        BadUsage{{"consultar-sat", "--codigo", "1"}, "opção desconhecida para consultar-sat: --codigo"},
        BadUsage{{"--codigo", "1", "consultar-status"}, "opção desconhecida: --codigo"},
        BadUsage{{"consultar-status"}, "falta a opção --codigo"},
        BadUsage{{"ativar", "--codigo", "1"}, "falta a opção --cnpj"},
        BadUsage{{"consultar-status", "--codigo"}, "precisa de um valor"},
        BadUsage{{"consultar-status", "--codigo", "1", "--codigo", "2"}, "opção repetida: --codigo"},
        BadUsage{{"--sessao", "12a", "consultar-sat"}, "valor inválido para --sessao"},
        BadUsage{{"--sessao", "", "consultar-sat"}, "valor inválido para --sessao"},
        BadUsage{{"--sessao", "2147483648", "consultar-sat"}, "valor inválido para --sessao"},
        // Six digits on the wire: "-5" would go out as "0000-5".
        BadUsage{{"--sessao", "-5", "consultar-sat"}, "de 1 a 999999"},
        BadUsage{{"--sessao", "0", "consultar-sat"}, "de 1 a 999999"},
        BadUsage{{"--json", "--sessao=1000000", "consultar-sat"}, "de 1 a 999999"},
        BadUsage{{"ativar", "--codigo", "1", "--cnpj", "2", "--uf", "SP"}, "valor inválido para --uf"},
        BadUsage{{"consultar-sessao", "--codigo", "1", "--sessao-consultada", "0"}, "(mínimo 1)"},
        BadUsage{{"--porta", "/dev/null", "--emulador", "consultar-sat"}, "não podem ser usadas juntas"},
        BadUsage{{"--porta=", "consultar-sat"}, "--porta precisa de um caminho"},
        BadUsage{{"--campos", "--json", "consultar-sat"}, "não podem ser usadas juntas"},
        BadUsage{{"--json=sim", "consultar-sat"}, "não aceita valor"},
        BadUsage{{"enviar-venda", "--codigo", "1", "--arquivo", "/nao/existe.xml"}, "não foi possível ler"},
        BadUsage{{"enviar-venda", "--codigo", "1", "--arquivo", "/"}, "não foi possível ler"}));

TEST(CommandLine, FillsDefaultsAndTakesBothOptionForms) {
  std::istringstream in;
  const CommandLine line =
      parseCommandLine({"ativar", "--codigo=abc", "--cnpj", "123", "--sessao", "7", "--json"}, in);
  ASSERT_NE(line.subcommand, nullptr);
  EXPECT_EQ(line.subcommand->function, "AtivarSAT");
  EXPECT_EQ(line.values.text("codigo"), "abc");
  EXPECT_EQ(line.values.text("cnpj"), "123");
  EXPECT_EQ(line.values.integer("subcomando"), 1);
  EXPECT_EQ(line.values.integer("uf"), 35);
  EXPECT_EQ(line.sessao, 7);
  EXPECT_EQ(line.format, OutputFormat::Json);
  EXPECT_EQ(line.port, PortChoice::Discovery);
}

TEST(CommandLine, GlobalOptionsStandBeforeOrAfterTheSubcommand) {
  std::istringstream in;
  const CommandLine before =
      parseCommandLine({"--porta", "/dev/tivax", "--tempo-limite", "2.5", "--campos", "consultar-sat"}, in);
  const CommandLine after =
      parseCommandLine({"consultar-sat", "--campos", "--porta", "/dev/tivax", "--tempo-limite=2.5"}, in);
  for (const CommandLine* line : {&before, &after}) {
    EXPECT_EQ(line->port, PortChoice::Path);
    EXPECT_EQ(line->portPath, "/dev/tivax");
    EXPECT_EQ(line->format, OutputFormat::Fields);
    EXPECT_FALSE(line->sessao.has_value());
    EXPECT_EQ(line->timeout, "2.5");
  }
}

// A decimal comma is a decimal point; anything but seconds is refused with
// the usage status, never passed on for the library to ignore.
TEST(CommandLine, TimeLimitTakesADecimalCommaAndRefusesTheRest) {
  std::istringstream in;
  const struct {
    const char* given;
    const char* passed;  // "" when refused
  } cases[] = {{"0,5", "0.5"}, {"2", "2"}, {",25", ".25"}, {"3.", "3."},
               {"abc", ""},   {"1,2,3", ""}, {"1.2,3", ""}, {"-1", ""}, {",", ""}, {"", ""}};
  for (const auto& c : cases) {
    if (*c.passed) {
      EXPECT_EQ(parseCommandLine({"--tempo-limite", c.given, "consultar-sat"}, in).timeout, c.passed)
          << c.given;
    } else {
      EXPECT_THROW(parseCommandLine({"--tempo-limite", c.given, "consultar-sat"}, in), UsageError)
          << c.given;
      const Outcome refused = runTool({"--tempo-limite", c.given, "consultar-sat"});
      EXPECT_EQ(refused.status, 2) << c.given;
      EXPECT_NE(refused.err.find("--tempo-limite"), std::string::npos) << refused.err;
    }
  }
}

TEST(CommandLine, FileOptionsHoldTheFileContentByteForByte) {
  const std::string content = std::string("<CFe>\r\n\xe7\xe3o|") + '\0' + "fim</CFe>\n";
  const std::string path = ::testing::TempDir() + "tivax_cli_venda.xml";
  std::ofstream(path, std::ios::binary) << content;
  std::istringstream in;
  const CommandLine fromFile = parseCommandLine({"enviar-venda", "--codigo", "1", "--arquivo", path}, in);
  EXPECT_EQ(fromFile.values.text("arquivo"), content);
  std::remove(path.c_str());

  std::istringstream stdinContent("<CFe/>");
  const CommandLine fromStdin =
      parseCommandLine({"enviar-venda", "--codigo", "1", "--arquivo", "-"}, stdinContent);
  EXPECT_EQ(fromStdin.values.text("arquivo"), "<CFe/>");
}

TEST(Help, ToolHelpNamesEveryGlobalOptionAndSubcommand) {
  const Outcome result = runTool({"--help"});
  EXPECT_EQ(result.status, kSuccess);
  EXPECT_EQ(result.err, "");
  for (const CliOption& option : globalOptions())
    EXPECT_NE(result.out.find("--" + option.name), std::string::npos) << option.name;
  for (const Subcommand& subcommand : subcommands()) {
    EXPECT_NE(result.out.find("\n  " + subcommand.name + " "), std::string::npos) << subcommand.name;
    EXPECT_NE(result.out.find(subcommand.function), std::string::npos) << subcommand.function;
  }
  EXPECT_NE(result.out.find("Código de saída"), std::string::npos);
  EXPECT_EQ(runTool({"-h"}).out, result.out);
  EXPECT_EQ(runTool({"consultar-sat", "-h"}).out, runTool({"consultar-sat", "--help"}).out);
}

TEST(Help, EachSubcommandHelpShowsItsOptionsEvenWhenRequiredOnesAreMissing) {
  ASSERT_EQ(subcommands().size(), 18u);  // the sixteen SAT functions and two questions
  for (const Subcommand& subcommand : subcommands()) {
    SCOPED_TRACE(subcommand.name);
    const Outcome result = runTool({subcommand.name, "--help"});
    EXPECT_EQ(result.status, kSuccess);
    EXPECT_EQ(result.out, subcommandHelp(subcommand));
    EXPECT_NE(result.out.find("chama " + subcommand.function), std::string::npos);
    for (const CliOption& option : subcommand.options) {
      const std::string label = "--" + option.name + " " + option.metavar;
      EXPECT_NE(result.out.find(label + (option.required ? " " : "]")), std::string::npos) << label;
    }
  }
}

TEST(Help, SubcommandHelpListsTheAnswerFieldNames) {
  const std::string help = runTool({"consultar-status", "--help"}).out;
  EXPECT_NE(help.find("numeroSessao EEEEE mensagem cod mensagemSEFAZ NSERIE"), std::string::npos) << help;
  EXPECT_NE(help.find("ESTADO_OPERACAO"), std::string::npos);
}

TEST(Help, VersionComesFromTheProjectVersion) {
  const Outcome result = runTool({"--version"});
  EXPECT_EQ(result.status, kSuccess);
  EXPECT_EQ(result.out, std::string("tivax ") + TIVAX_VERSION + "\n");
}

}  // namespace
}  // namespace tivaxcli
