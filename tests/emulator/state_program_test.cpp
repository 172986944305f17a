// SPDX-License-Identifier: MIT
// tivax-emulator with a state file, as a program: a sale, kill -9, a new
// run that cancels it; the subcommands that read the state and reach the
// running emulator; and the CF-e's signature checked by xmlsec1 against
// the certificate the emulator prints.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emulator/child_process.h"
#include "emulator/raw_port.h"
#include "request_line.h"

namespace {

using tivaxtest::ChildProcess;

class Link : public tivaxtest::RawPort {
 public:
  using RawPort::RawPort;
  std::vector<std::string> exchange(const std::string& request) {
    send(request + "\n");
    std::string line = readLine();
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return tivaxemu::splitFields(line);
  }
};

std::string base64Decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    const std::size_t v = alphabet.find(c);
    if (v == std::string::npos) continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

// Runs a subcommand to its end: its exit status and standard output.
int run(const std::vector<std::string>& argv, std::string& out) {
  ChildProcess child(argv);
  out = child.readAll();
  return child.wait();
}

bool verifies(const std::string& certificate, const std::string& document) {
  const std::string command = "xmlsec1 --verify --pubkey-cert-pem '" + certificate +
                              "' --id-attr:Id infCFe '" + document + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

TEST(EmulatorProgram, StateSurvivesKillAndTheSignatureVerifies) {
  char pattern[] = "/tmp/tivaxemu-program-XXXXXX";
  const std::string dir = mkdtemp(pattern) ? pattern : "";
  ASSERT_FALSE(dir.empty());
  const std::string state = dir + "/sat.json", link = dir + "/sat";
  const std::string signature = std::string(343, 'S') + "=";
  const std::string sale =
      "<CFe><infCFe versaoDadosEnt=\"0.08\"><ide><CNPJ>21436587000156</CNPJ><signAC>" + signature +
      "</signAC><numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>58473629000139</CNPJ>"
      "<IE>614253698117</IE><indRatISSQN>N</indRatISSQN></emit><dest><CPF>12345678909</CPF></dest>"
      "<det nItem=\"1\"><prod><cProd>1</cProd><xProd>Café</xProd><CFOP>5102</CFOP><uCom>UN</uCom>"
      "<qCom>1.0000</qCom><vUnCom>18.90</vUnCom><indRegra>A</indRegra></prod><imposto><ICMS>"
      "<ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS><PIS><PISSN><CST>49</CST>"
      "</PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS></imposto></det><total/>"
      "<pgto><MP><cMP>01</cMP><vMP>20.00</vMP></MP></pgto></infCFe></CFe>";

  std::string key, document;
  {
    ChildProcess emulator({TIVAX_EMULATOR_PROGRAM, "--estado", state, "--link", link});
    ASSERT_TRUE(emulator.started());
    Link port(emulator.readLine());
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.exchange("2|000001|11111111|" + sale)[1], "06002");
    EXPECT_EQ(port.exchange("0|000002|1|11111111|58473629000139|35")[1], "04000");
    EXPECT_EQ(port.exchange("9|000003|11111111|2143658700015658473629000139|" + signature)[1],
              "13000");
    const std::vector<std::string> sold = port.exchange("2|000004|11111111|" + sale);
    ASSERT_EQ(sold.size(), 12u);
    ASSERT_EQ(sold[1], "06000");
    key = sold[8];
    document = base64Decode(sold[6]);
    EXPECT_EQ(sold[9], "18.90");
    EXPECT_EQ(sold[10], "12345678909");
    EXPECT_EQ(sold[11].size(), 344u);

    // A change from outside, through the control socket.
    std::string said;
    EXPECT_EQ(run({TIVAX_EMULATOR_PROGRAM, "controle", "--link", link, "ocupado", "1"}, said), 0);
    EXPECT_EQ(said.rfind("ok: ", 0), 0u) << said;
    EXPECT_EQ(port.exchange("4|000005")[1], "08098");
    EXPECT_EQ(run({TIVAX_EMULATOR_PROGRAM, "controle", "--link", link, "voar"}, said), 1);
    emulator.signal(SIGKILL);
    emulator.wait();
  }
  {
    ChildProcess emulator({TIVAX_EMULATOR_PROGRAM, "--estado", state, "--link", link});
    Link port(emulator.readLine());
    ASSERT_TRUE(port.ok());
    const std::string cancellation =
        "<CFeCanc><infCFe chCanc=\"" + key + "\"><ide><CNPJ>21436587000156</CNPJ><signAC>" +
        signature + "</signAC><numeroCaixa>001</numeroCaixa></ide><emit/>"
        "<dest><CPF>12345678909</CPF></dest><total/></infCFe></CFeCanc>";
    const std::vector<std::string> cancelled =
        port.exchange("3|000006|11111111|" + key + "|" + cancellation);
    ASSERT_GE(cancelled.size(), 4u);
    EXPECT_EQ(cancelled[1], "07000") << cancelled[3];
    emulator.signal(SIGTERM);
    EXPECT_EQ(emulator.wait(), 0);
  }

  std::string shown, certificate;
  EXPECT_EQ(run({TIVAX_EMULATOR_PROGRAM, "estado", "--estado", state}, shown), 0);
  EXPECT_NE(shown.find("\"cancelada\": true"), std::string::npos) << shown.substr(0, 400);
  EXPECT_EQ(shown.find("11111111"), std::string::npos);
  EXPECT_EQ(run({TIVAX_EMULATOR_PROGRAM, "certificado", "--estado", state}, certificate), 0);
  ASSERT_EQ(certificate.rfind("-----BEGIN CERTIFICATE-----", 0), 0u) << certificate;

  std::ofstream(dir + "/cert.pem") << certificate;
  std::ofstream(dir + "/cfe.xml") << document;
  EXPECT_TRUE(verifies(dir + "/cert.pem", dir + "/cfe.xml")) << document.substr(0, 300);
  // One byte of infCFe changed: the signature no longer holds.
  std::string altered = document;
  const std::size_t at = altered.find("<vCFe>18.90");
  ASSERT_NE(at, std::string::npos);
  altered[at + 6] = '2';
  std::ofstream(dir + "/cfe.xml", std::ios::trunc) << altered;
  EXPECT_FALSE(verifies(dir + "/cert.pem", dir + "/cfe.xml"));
  std::filesystem::remove_all(dir);
}

}  // namespace
