// SPDX-License-Identifier: MIT
// The tool end to end, against the emulator it starts in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emulator.h"
#include "run_cli.h"

namespace tivaxcli {
namespace {

TEST(CliAgainstEmulator, StatusAsJson) {
  const Outcome result =
      runTool({"--emulador", "--sessao", "321", "--json", "consultar-status", "--codigo", "12345678"});
  ASSERT_EQ(result.status, kSuccess) << result.err;
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
  ASSERT_EQ(result.status, kRefused) << result.err;
  EXPECT_NE(result.out.find("\nEEEEE=06010\nCCCC=1999\nmensagem=Erro no XML"), std::string::npos)
      << result.out;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Drive {
  std::vector<std::string> args;  // subcommand and its options
  std::string input;              // what "--arquivo -" reads
  std::string code;               // the result code the answer must carry
};

// Every subcommand reaches its function on one emulated device, in an order
// that leaves the device as it found it.
TEST(CliAgainstEmulator, EverySubcommandDrivesItsFunction) {
  // A fixed device clock (November 2023) fixes the key of the first sale.
  tivaxemu::Options options;
  options.clock = [] { return std::time_t{1700000000}; };
  tivaxemu::Emulator device(options);
  const std::string key = "CFe35231158473629000139599000040190000011126482";
  std::string cancellation = fileText(TIVAX_EXAMPLES_DIR "/cancelamento.xml");
  const std::size_t named = cancellation.find("chCanc=\"") + 8;
  cancellation.replace(named, cancellation.find('"', named) - named, key);
  std::string error;
  ASSERT_TRUE(device.start(&error)) << error;
  const std::string examples = TIVAX_EXAMPLES_DIR;
  const std::string c = "12345678";
  const std::vector<Drive> drives = {
      {{"consultar-sat"}, "", "08000"},
      {{"consultar-status", "--codigo", c}, "", "10000"},
      {{"ativar", "--subcomando", "1", "--codigo", c, "--cnpj", "11111111111111"}, "", "04000"},
      {{"comunicar-certificado", "--codigo", c, "--arquivo", "-"}, "MIIBcertificado", "05000"},
      {{"enviar-venda", "--codigo", c, "--arquivo", examples + "/venda-minima.xml"}, "", "06000"},
      {{"consultar-ultima-sessao", "--codigo", c}, "", "06000"},
      {{"cancelar-venda", "--codigo", c, "--chave", key, "--arquivo", "-"}, cancellation, "07000"},
      {{"teste-fim-a-fim", "--codigo", c, "--arquivo", examples + "/venda-minima.xml"}, "", "09000"},
      // Only the preceding session: teste-fim-a-fim.
      {{"consultar-sessao", "--codigo", c, "--sessao-consultada", "706"}, "", "09000"},
      {{"configurar-rede", "--codigo", c, "--arquivo", "-"},
       "<config><lanIP>192.168.001.010</lanIP></config>", "12000"},
      {{"associar-assinatura", "--codigo", c, "--cnpj", "1111111111111122222222222222",
        "--assinatura", "c2lnbmF0dXJl"}, "", "13000"},
      {{"atualizar-software", "--codigo", c}, "", "14000"},
      {{"extrair-logs", "--codigo", c}, "", "15000"},
      {{"bloquear", "--codigo", c}, "", "16000"},
      {{"desbloquear", "--codigo", c}, "", "17000"},
      {{"trocar-codigo", "--codigo", c, "--novo", c, "--confirmacao", c}, "", "18000"},
  };
  int session = 700;  // the status call above runs as session 700
  for (const Drive& d : drives) {
    std::vector<std::string> args = {"--porta", device.portPath(), "--sessao",
                                     std::to_string(d.args[0] == "consultar-sat" ? 699 : session++)};
    args.insert(args.end(), d.args.begin(), d.args.end());
    const Outcome result = runTool(args, d.input);
    EXPECT_EQ(result.status, kSuccess) << d.args[0] << ": " << result.err;
    EXPECT_NE(result.out.find("|" + d.code + "|"), std::string::npos) << d.args[0] << ": " << result.out;
  }
  EXPECT_EQ(device.requestCount(), drives.size());
  EXPECT_FALSE(device.blocked());
}

// Exit 0 only for the function's own success code (every case of the test
// above); a session query is judged by the code of the answer it replays.
TEST(CliAgainstEmulator, ExitStatusFollowsTheResultCode) {
  tivaxemu::Emulator device;
  std::string error;
  ASSERT_TRUE(device.start(&error)) << error;
  const struct {
    std::vector<std::string> args;
    std::string code;
    int status;
  } cases[] = {
      {{"--sessao", "501", "consultar-status", "--codigo", "87654321"}, "10001", kRefused},
      {{"--sessao", "503", "consultar-sessao", "--codigo", "12345678", "--sessao-consultada", "501"},
       "10001", kRefused},
      {{"--sessao", "504", "consultar-sessao", "--codigo", "12345678", "--sessao-consultada", "999"},
       "11003", kRefused},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--porta", device.portPath()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome result = runTool(args);
    EXPECT_EQ(result.status, c.status) << c.args[2] << ": " << result.out << result.err;
    EXPECT_NE(result.out.find("|" + c.code + "|"), std::string::npos) << c.args[2] << ": " << result.out;
  }
}

// A fault named on the emulator's side reaches a call the tool makes with an
// ordinary session number: here an echo, which the library reads past.
TEST(CliAgainstEmulator, ANamedFaultReachesTheToolsNextCall) {
  std::vector<tivaxemu::Faults> answers;  // written on the serving thread, read after stop()
  tivaxemu::Options options;
  options.nextFaults = {{tivaxemu::kEcho, 1}};
  options.observer = [&answers](tivaxemu::Traffic traffic, const std::string&, tivaxemu::Faults f) {
    if (traffic == tivaxemu::Traffic::Answer) answers.push_back(f);
  };
  tivaxemu::Emulator device(options);
  std::string error;
  ASSERT_TRUE(device.start(&error)) << error;
  const Outcome result = runTool({"--porta", device.portPath(), "--sessao", "321", "consultar-sat"});
  device.stop();
  EXPECT_EQ(result.status, kSuccess) << result.err;
  EXPECT_EQ(result.out.rfind("000321|08000|", 0), 0u) << result.out;
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers.back(), tivaxemu::kEcho);
}

// A port that does not open is told once, with the library's reason, and
// no SAT call follows (which would only fail the same way).
TEST(CliAgainstEmulator, UnreachablePortIsReportedWithItsReason) {
  const std::string port = ::testing::TempDir() + "tivax-nao-existe";
  const Outcome result = runTool({"--porta", port, "consultar-sat"});
  EXPECT_EQ(result.status, kInvalidResult);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("tivax: porta não abre: " + port + ": ", 0), 0u) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;

  const Outcome json = runTool({"--porta", port, "--json", "consultar-sat"});
  EXPECT_EQ(json.status, kInvalidResult);
  EXPECT_EQ(json.out.rfind("{\"erro\":\"porta não abre: " + port + ": ", 0), 0u) << json.out;
  EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "one object, one line: " << json.out;
}

// An answer the library rejects: the reason names what was wrong with it,
// after the session, on standard error and in the JSON object alike.
TEST(CliAgainstEmulator, InvalidAnswerIsReportedWithTheLibrarysReason) {
  const struct {
    tivaxemu::Faults fault;
    std::string phrase;
  } cases[] = {
      {tivaxemu::kGarbage, "campos insuficientes: a resposta tem 1 campo(s), e são precisos ao menos "},
      {tivaxemu::kOversize, "resposta grande demais: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.phrase);
    tivaxemu::Options options;
    options.faults = c.fault;
    tivaxemu::Emulator device(options);
    std::string error;
    ASSERT_TRUE(device.start(&error)) << error;
    const Outcome line = runTool({"--porta", device.portPath(), "--sessao", "321", "consultar-status",
                                  "--codigo", "12345678"});
    EXPECT_EQ(line.status, kInvalidResult);
    EXPECT_EQ(line.out, "");
    EXPECT_EQ(line.err.rfind("tivax: resultado inválido (sessão 321): " + c.phrase, 0), 0u) << line.err;

    const Outcome json = runTool({"--porta", device.portPath(), "--sessao", "321", "--json",
                                  "consultar-status", "--codigo", "12345678"});
    EXPECT_EQ(json.status, kInvalidResult);
    EXPECT_EQ(json.out.rfind("{\"erro\":\"resultado inválido (sessão 321): " + c.phrase, 0), 0u) << json.out;
  }
}

// "0" from DispositivoConectado is printed as the answer, with the reason
// beside it in the JSON object (no such device on a test machine, usually;
// when one is plugged in the answer is 1 and there is no reason).
TEST(CliAgainstEmulator, UnpluggedDeviceCarriesTheReasonInTheObject) {
  const Outcome result = runTool({"--json", "dispositivo-conectado"});
  if (result.status == kSuccess) {
    EXPECT_EQ(result.out, "{\"conectado\":\"1\"}\n");
    return;
  }
  EXPECT_EQ(result.status, kInvalidResult);
  EXPECT_EQ(result.out.rfind("{\"conectado\":\"0\",\"erro\":\"nenhum equipamento encontrado: ", 0), 0u)
      << result.out;
  EXPECT_EQ(result.err.rfind("tivax: nenhum equipamento encontrado: ", 0), 0u) << result.err;
}

}  // namespace
}  // namespace tivaxcli
