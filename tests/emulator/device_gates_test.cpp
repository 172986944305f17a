// SPDX-License-Identifier: MIT
// A device with a state file: every gate before a function runs
// (activation, association, blocks, wrong codes, busy), the taxpayer and IE
// it learns, and the state that outlives the device object.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "request_line.h"
#include "sat_device.h"

namespace tivaxemu {
namespace {

const std::string kSignature = std::string(343, 'S') + "=";
const std::string kPair = "2143658700015658473629000139";  // software house + taxpayer
const std::string kNoKey = "CFe" + std::string(44, '0');

std::string sale(const std::string& signAC = kSignature, const std::string& emitter = "58473629000139",
                 const std::string& ie = "614253698117") {
  return "<CFe><infCFe versaoDadosEnt=\"0.08\"><ide><CNPJ>21436587000156</CNPJ><signAC>" + signAC +
         "</signAC><numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>" + emitter + "</CNPJ><IE>" + ie +
         "</IE><indRatISSQN>N</indRatISSQN></emit><dest/><det nItem=\"1\"><prod><cProd>1</cProd>"
         "<xProd>Item</xProd><CFOP>5102</CFOP><uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>5.00</vUnCom>"
         "<indRegra>A</indRegra></prod><imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN>"
         "</ICMSSN102></ICMS><PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST>"
         "</COFINSSN></COFINS></imposto></det><total/><pgto><MP><cMP>01</cMP><vMP>5.00</vMP></MP>"
         "</pgto></infCFe></CFe>";
}

std::string cancellation(const std::string& key) {
  return "<CFeCanc><infCFe chCanc=\"" + key + "\"><ide><CNPJ>21436587000156</CNPJ><signAC>" +
         kSignature + "</signAC><numeroCaixa>001</numeroCaixa></ide><emit/><dest/><total/>"
         "</infCFe></CFeCanc>";
}

class StateDir {
 public:
  StateDir() {
    char pattern[] = "/tmp/tivaxemu-state-XXXXXX";
    path = mkdtemp(pattern) ? pattern : "";
  }
  ~StateDir() { std::filesystem::remove_all(path); }
  std::string file() const { return path + "/sat.json"; }
  std::string path;
};

struct Fixture {
  explicit Fixture(const std::string& file) {
    DeviceSettings settings;
    settings.statePath = file;
    device.reset(new SatDevice(settings, [this] { return now; }));
    std::string error;
    opened = device->open(error);
  }
  std::vector<std::string> ask(const std::string& line) {
    return splitFields(device->handle(line).line);
  }
  std::time_t now = 1700000000;
  std::unique_ptr<SatDevice> device;
  bool opened = false;
};

// One step: a request and the code (and CCCC) it must get, or a change
// from outside.
struct Step {
  std::string request;
  const char* code;
  const char* cccc = nullptr;
};

TEST(DeviceGates, EveryGateInItsOrder) {
  StateDir dir;
  Fixture f(dir.file());
  ASSERT_TRUE(f.opened);
  const std::string c = "11111111";
  const auto sell = [&](const std::string& xml) { return "2|000100|" + c + "|" + xml; };
  const std::vector<Step> steps = {
      // A new device is not activated.
      {sell(sale()), "06002"},
      {"5|000001|" + c + "|" + sale(), "09002"},
      {"7|000002|" + c + "|1", "11002"},
      {"15|000003|" + c, "19002"},
      {"12|000004|" + c, "16099"},
      {"6|000005|anything", "10000"},
      {"0|000006|1|" + c + "|58473629000138|35", "04002"},
      {"0|000007|1|curto|58473629000139|35", "04099"},
      {"0|000008|1|" + c + "|58473629000139|35", "04000"},
      {"0|000009|1|" + c + "|58473629000139|35", "04003"},
      // No association, then a wrong one, then the right one.
      {sell(sale()), "06003"},
      {"9|000010|" + c + "|" + kPair + "|curta", "13003"},
      {"9|000011|" + c + "|2143658700015611222333000181|" + kSignature, "13004"},
      {"9|000012|" + c + "|" + kPair + "|" + kSignature, "13000"},
      {sell(sale("outra assinatura")), "06004"},
      // The taxpayer it was activated for, and the IE the first sale sets.
      {sell(sale(kSignature, "11222333000181")), "06010", "1203"},
      {sell(sale()), "06000"},
      {sell(sale(kSignature, "58473629000139", "999999999999")), "06010", "1230"},
      // The taxpayer's block.
      {"12|000013|" + c, "16000"},
      {"12|000014|" + c, "16002"},
      {sell(sale()), "06006"},
      {"3|000015|" + c + "|" + kNoKey + "|" + cancellation(kNoKey), "07003"},
      {"13|000016|" + c, "17000"},
      {"13|000017|" + c, "17005"},
  };
  for (const Step& s : steps) {
    const std::vector<std::string> answer = f.ask(s.request);
    ASSERT_GE(answer.size(), 3u) << s.request.substr(0, 60);
    EXPECT_EQ(answer[1], s.code) << s.request.substr(0, 60) << ": " << answer[2];
    if (s.cccc) {
      EXPECT_EQ(answer[2], s.cccc) << answer[3];
    }
  }
  EXPECT_EQ(f.device->deviceState().stateRegistration, "614253698117");

  // Blocks from outside, each with its own codes.
  const struct {
    const char* change;
    const char* sale;
    const char* cancel;
    const char* unblock;
  } outside[] = {{"bloqueio-sefaz", "06007", "07004", "17003"},
                 {"bloqueio-autonomo", "06008", "07005", "17006"}};
  for (const auto& o : outside) {
    std::string outcome;
    ASSERT_TRUE(f.device->control(std::string(o.change) + " on", outcome)) << outcome;
    EXPECT_EQ(f.ask(sell(sale()))[1], o.sale);
    EXPECT_EQ(f.ask("3|000020|" + c + "|" + kNoKey + "|" + cancellation(kNoKey))[1], o.cancel);
    EXPECT_EQ(f.ask("13|000021|" + c)[1], o.unblock);
    EXPECT_EQ(splitFields(f.device->handle("6|000022|" + c).line).back(), o.change[9] == 's' ? "1" : "3");
    ASSERT_TRUE(f.device->control(std::string(o.change) + " off", outcome));
  }

  // Busy for the next two calls, whatever they are.
  std::string outcome;
  ASSERT_TRUE(f.device->control("ocupado 2", outcome));
  EXPECT_EQ(f.ask("6|000030|" + c)[1], "10098");
  EXPECT_EQ(f.ask("4|000031")[1], "08098");
  EXPECT_EQ(f.ask("6|000032|" + c)[1], "10000");

  // The clock moved back behind the last CF-e.
  f.now -= 600;
  EXPECT_EQ(f.ask(sell(sale()))[2], "1258");
  f.now += 600;

  // A run of three wrong codes locks the device; only the emergency code
  // unlocks it.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(f.ask("6|000040|errado00")[1], "10001");
  EXPECT_EQ(f.ask(sell(sale()))[1], "06009");
  EXPECT_EQ(f.ask("3|000041|" + c + "|" + kNoKey + "|" + cancellation(kNoKey))[1], "07006");
  // A change with the current code does not lift the lock.
  EXPECT_EQ(f.ask("14|000045|" + c + "|1|33333333|33333333")[1], "18000");
  EXPECT_EQ(f.ask("2|000046|33333333|" + sale())[1], "06009");
  EXPECT_EQ(f.ask("14|000042|00000000|2|22222222|22222222")[1], "18002");
  EXPECT_EQ(f.ask("14|000043|87654321|2|22222222|22222222")[1], "18000");
  EXPECT_EQ(f.ask("2|000044|22222222|" + sale())[1], "06000");
  EXPECT_FALSE(f.device->blocked());
}

TEST(DeviceGates, StateOutlivesTheDeviceAndIsShownMasked) {
  StateDir dir;
  std::string key;
  {
    Fixture f(dir.file());
    ASSERT_TRUE(f.opened);
    f.ask("0|000001|1|11111111|58473629000139|35");
    f.ask("9|000002|11111111|" + kPair + "|" + kSignature);
    const std::vector<std::string> sold = f.ask("2|000003|11111111|" + sale());
    ASSERT_EQ(sold[1], "06000");
    key = sold[8];
    EXPECT_EQ(key.substr(34, 6), "000001");
  }
  Fixture again(dir.file());
  ASSERT_TRUE(again.opened);
  again.now += 29 * 60;  // still within the 30 minutes
  // The preceding session survives too.
  EXPECT_EQ(again.ask("7|000004|11111111|3")[1], "06000");
  const std::vector<std::string> cancelled =
      again.ask("3|000005|11111111|" + key + "|" + cancellation(key));
  ASSERT_EQ(cancelled[1], "07000") << cancelled[3];
  EXPECT_EQ(cancelled[8].substr(34, 6), "000002");
  const std::string shown = stateJson(again.device->deviceState(), true);
  EXPECT_EQ(shown.find("11111111"), std::string::npos);
  EXPECT_EQ(shown.find("PRIVATE KEY"), std::string::npos);
  EXPECT_NE(shown.find("BEGIN CERTIFICATE"), std::string::npos);

  // A file that is not a state is refused, not overwritten.
  std::ofstream(dir.file()) << "{\"outra\": 1}";
  Fixture broken(dir.file());
  EXPECT_FALSE(broken.opened);
}

}  // namespace
}  // namespace tivaxemu
