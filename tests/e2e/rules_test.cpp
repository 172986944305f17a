// SPDX-License-Identifier: MIT
// Every rejection a sale or a cancellation can meet, through the library
// to the emulated device: each row breaks exactly one rule of a sale that
// is otherwise accepted, and the device names that rule.
#include <functional>
#include <string>
#include <vector>

#include "e2e_link.h"
#include "request_line.h"
#include "tivax.h"

namespace tivaxe2e {
namespace {

using Rules = LinkedTest;

// Three items (ICMS00 with PIS/COFINS by rate, ICMS40 by quantity, a
// service with ISSQN), a subtotal discount and two payments: 80.29 paid
// with 90.00.
const std::string kRichSale =
    "<CFe><infCFe versaoDadosEnt=\"0.07\">"
    "<ide><CNPJ>21436587000156</CNPJ><signAC>assinaturaAC</signAC><numeroCaixa>001</numeroCaixa></ide>"
    "<emit><CNPJ>58473629000139</CNPJ><IE>614253698117</IE><IM>4418209</IM>"
    "<cRegTribISSQN>3</cRegTribISSQN><indRatISSQN>N</indRatISSQN></emit>"
    "<dest><CPF>12345678909</CPF></dest>"
    "<det nItem=\"1\"><prod><cProd>0001</cProd><cEAN>7890000000017</cEAN><xProd>Café</xProd>"
    "<CFOP>5102</CFOP><uCom>UN</uCom><qCom>2.0000</qCom><vUnCom>18.90</vUnCom><indRegra>A</indRegra>"
    "<vDesc>1.00</vDesc><vOutro>0.50</vOutro></prod>"
    "<imposto><ICMS><ICMS00><Orig>0</Orig><CST>00</CST><pICMS>18.00</pICMS></ICMS00></ICMS>"
    "<PIS><PISAliq><CST>01</CST><vBC>37.80</vBC><pPIS>0.0165</pPIS></PISAliq></PIS>"
    "<COFINS><COFINSAliq><CST>01</CST><vBC>37.80</vBC><pCOFINS>0.0760</pCOFINS></COFINSAliq></COFINS>"
    "</imposto></det>"
    "<det nItem=\"2\"><prod><cProd>0002</cProd><xProd>Óleo</xProd><CFOP>5405</CFOP><uCom>LT</uCom>"
    "<qCom>1.0000</qCom><vUnCom>9.99</vUnCom><indRegra>T</indRegra></prod>"
    "<imposto><ICMS><ICMS40><Orig>1</Orig><CST>60</CST></ICMS40></ICMS>"
    "<PIS><PISQtde><CST>03</CST><qBCProd>1.0000</qBCProd><vAliqProd>0.1200</vAliqProd></PISQtde></PIS>"
    "<COFINS><COFINSQtde><CST>03</CST><qBCProd>1.0000</qBCProd><vAliqProd>0.5500</vAliqProd>"
    "</COFINSQtde></COFINS></imposto></det>"
    "<det nItem=\"3\"><prod><cProd>S010</cProd><xProd>Instalação</xProd><CFOP>5933</CFOP>"
    "<uCom>SV</uCom><qCom>1.0000</qCom><vUnCom>35.00</vUnCom><indRegra>A</indRegra></prod>"
    "<imposto><ISSQN><vDeducISSQN>0.00</vDeducISSQN><vAliq>5.00</vAliq><cNatOp>01</cNatOp>"
    "<indIncFisc>2</indIncFisc></ISSQN>"
    "<PIS><PISOutr><CST>99</CST><vBC>35.00</vBC><pPIS>0.0065</pPIS></PISOutr></PIS>"
    "<COFINS><COFINSOutr><CST>99</CST><vBC>35.00</vBC><pCOFINS>0.0300</pCOFINS></COFINSOutr></COFINS>"
    "</imposto></det>"
    "<total><DescAcrEntr><vDescSubtot>2.00</vDescSubtot></DescAcrEntr></total>"
    "<pgto><MP><cMP>03</cMP><vMP>70.00</vMP><cAdmC>999</cAdmC></MP>"
    "<MP><cMP>01</cMP><vMP>20.00</vMP></MP></pgto></infCFe></CFe>";

const char kPisByQuantity[] =
    "<PISQtde><CST>03</CST><qBCProd>1.0000</qBCProd><vAliqProd>0.1200</vAliqProd></PISQtde>";
const char kCofinsByQuantity[] =
    "<COFINSQtde><CST>03</CST><qBCProd>1.0000</qBCProd><vAliqProd>0.5500</vAliqProd></COFINSQtde>";
const char kIcms40[] = "<ICMS40><Orig>1</Orig><CST>60</CST></ICMS40>";

struct Row {
  const char* code;
  std::string find, replace;
};

std::string changed(std::string text, const Row& row) {
  const std::size_t at = text.find(row.find);
  EXPECT_NE(at, std::string::npos) << row.code << ": " << row.find;
  if (at != std::string::npos) text.replace(at, row.find.size(), row.replace);
  EXPECT_EQ(text.find(row.find, at + row.replace.size()), std::string::npos)
      << row.code << ": not unique: " << row.find;
  return text;
}

std::vector<std::string> fieldsOf(const std::string& line) { return tivaxemu::splitFields(line); }

TEST_F(Rules, EachBrokenRuleOfASaleIsNamed) {
  const std::vector<std::string> accepted =
      fieldsOf(take(EnviarDadosVenda(900, kCode, kRichSale.c_str())));
  ASSERT_EQ(accepted.size(), 12u);
  ASSERT_EQ(accepted[1], "06000");
  EXPECT_EQ(accepted[9], "80.29");

  const Row rows[] = {
      {"1004", "versaoDadosEnt=\"0.07\"", "versaoDadosEnt=\"0.09\""},
      {"1999", "<vUnCom>18.90", "<vUnCom>18,90"},
      {"1224", "<CNPJ>21436587000156", "<CNPJ>21436587000157"},
      {"1455", "<signAC>assinaturaAC</signAC>", "<signAC> </signAC>"},
      {"1207", "<emit><CNPJ>58473629000139", "<emit><CNPJ>58473629000138"},
      {"1229", "<IE>614253698117</IE>", "<IE>000</IE>"},
      {"1457", "<cRegTribISSQN>3", "<cRegTribISSQN>7"},
      {"1507", "<indRatISSQN>N", "<indRatISSQN>X"},
      {"1235", "<dest><CPF>12345678909</CPF>", "<dest><CNPJ>11222333000180</CNPJ>"},
      {"1235", "<dest><CPF>12345678909</CPF>", "<dest><CNPJ>58473629000139</CNPJ>"},
      {"1237", "<CPF>12345678909", "<CPF>12345678900"},
      {"1237", "<CPF>12345678909", "<CPF>11111111111"},
      {"1019", "<det nItem=\"2\">", "<det nItem=\"4\">"},
      {"1459", "<cProd>0001</cProd>", "<cProd> </cProd>"},
      {"1460", "<cEAN>7890000000017", "<cEAN>7890000000018"},
      {"1461", "<xProd>Café</xProd>", "<xProd> </xProd>"},
      {"1462", "<CFOP>5102", "<CFOP>6102"},
      {"1463", "<uCom>UN</uCom>", "<uCom> </uCom>"},
      {"1464", "<qCom>2.0000", "<qCom>-2.0000"},
      {"1465", "<vUnCom>18.90", "<vUnCom>-18.90"},
      {"1467", "<indRegra>T", "<indRegra>R"},
      {"1468", "<vDesc>1.00", "<vDesc>-1.00"},
      {"1469", "<vOutro>0.50", "<vOutro>-0.50"},
      {"1471", "<Orig>1", "<Orig>9"},
      {"1472", "<CST>00</CST>", "<CST>10</CST>"},
      {"1473", "<pICMS>18.00", "<pICMS>-18.00"},
      {"1475", "<CST>60", "<CST>10"},
      {"1476", kIcms40, "<ICMSSN102><Orig>1</Orig><CSOSN>101</CSOSN></ICMSSN102>"},
      {"1477", kIcms40, "<ICMSSN900><Orig>1</Orig><CSOSN>901</CSOSN><pICMS>1.00</pICMS></ICMSSN900>"},
      {"1478", "<PISAliq><CST>01", "<PISAliq><CST>04"},
      {"1479", "<PISAliq><CST>01</CST><vBC>37.80", "<PISAliq><CST>01</CST><vBC>-37.80"},
      {"1480", "<pPIS>0.0165", "<pPIS>-0.0165"},
      {"1482", "<PISQtde><CST>03", "<PISQtde><CST>04"},
      {"1483", "<PISQtde><CST>03</CST><qBCProd>1.0000", "<PISQtde><CST>03</CST><qBCProd>-1.0000"},
      {"1484", "<vAliqProd>0.1200", "<vAliqProd>-0.1200"},
      {"1486", kPisByQuantity, "<PISNT><CST>05</CST></PISNT>"},
      {"1487", kPisByQuantity, "<PISSN><CST>48</CST></PISSN>"},
      {"1488", "<PISOutr><CST>99", "<PISOutr><CST>98"},
      {"1490", "<COFINSAliq><CST>01", "<COFINSAliq><CST>04"},
      {"1491", "<COFINSAliq><CST>01</CST><vBC>37.80", "<COFINSAliq><CST>01</CST><vBC>-37.80"},
      {"1492", "<pCOFINS>0.0760", "<pCOFINS>-0.0760"},
      {"1494", "<COFINSQtde><CST>03", "<COFINSQtde><CST>04"},
      {"1496", "<vAliqProd>0.5500", "<vAliqProd>-0.5500"},
      {"1498", kCofinsByQuantity, "<COFINSNT><CST>05</CST></COFINSNT>"},
      {"1499", kCofinsByQuantity, "<COFINSSN><CST>48</CST></COFINSSN>"},
      {"1500", "<COFINSOutr><CST>99", "<COFINSOutr><CST>98"},
      {"1501", "<IM>4418209</IM>", ""},
      {"1503", "<vDeducISSQN>0.00", "<vDeducISSQN>-1.00"},
      {"1505", "<vAliq>5.00", "<vAliq>6.00"},
      {"1510", "<cNatOp>01", "<cNatOp>09"},
      {"1511", "<indIncFisc>2", "<indIncFisc>3"},
      {"1073", "<vDescSubtot>2.00", "<vDescSubtot>-2.00"},
      {"1074", "<vDescSubtot>2.00</vDescSubtot>", "<vAcresSubtot>-2.00</vAcresSubtot>"},
      {"1527", "<cMP>03", "<cMP>07"},
      {"1528", "<vMP>20.00", "<vMP>0.00"},
      {"1535", "<cAdmC>999", "<cAdmC>99"},
      {"1408", "<vMP>70.00", "<vMP>60.00"},
      {"1998", "<vDescSubtot>2.00", "<vDescSubtot>100.00"},
  };
  int session = 901;
  for (const Row& row : rows) {
    const std::string sale = changed(kRichSale, row);
    const std::vector<std::string> f = fieldsOf(take(EnviarDadosVenda(session++, kCode, sale.c_str())));
    ASSERT_EQ(f.size(), 6u) << row.code << " " << row.replace;
    EXPECT_EQ(f[1], "06010") << row.code << " " << row.replace;
    EXPECT_EQ(f[2], row.code) << row.replace << ": " << f[3];
    EXPECT_EQ(f[3].rfind("Rejeição " + std::string(row.code) + ": ", 0), 0u) << f[3];
  }
  // TesteFimAFim judges the same way.
  const std::string badCpf = changed(kRichSale, {"1237", "<CPF>12345678909", "<CPF>12345678900"});
  const std::vector<std::string> test = fieldsOf(take(TesteFimAFim(999, kCode, badCpf.c_str())));
  ASSERT_GE(test.size(), 3u);
  EXPECT_EQ(test[1], "09099");
  EXPECT_EQ(test[2],
            "Rejeição 1237: CPF do destinatário com dígito verificador inválido "
            "(dest/CPF = 12345678900)");
}

// The cancellation of the sale with `key`, for the sale's recipient.
std::string cancellation(const std::string& key) {
  return "<CFeCanc><infCFe chCanc=\"" + key + "\"><ide><CNPJ>21436587000156</CNPJ>"
         "<signAC>assinaturaAC</signAC><numeroCaixa>001</numeroCaixa></ide>"
         "<emit/><dest><CPF>12345678909</CPF></dest><total/></infCFe></CFeCanc>";
}

TEST_F(Rules, EachBrokenRuleOfACancellationIsNamed) {
  const std::string zeros = "CFe" + std::string(44, '0');
  const std::string other = "CFe35231158473629000139599000040190000011126490";
  struct Case {
    const char* code;
    std::function<std::string(const std::string&)> key;
    std::function<std::string(const std::string&)> document;
    const char* clock;  // a change of the device clock after the sale
  } cases[] = {
      {"1270", [&](const std::string&) { return zeros; },
       [&](const std::string&) { return cancellation(zeros); }, nullptr},
      {"1412", [&](const std::string&) { return other; },
       [&](const std::string&) { return cancellation(other); }, nullptr},
      {"1210", [](const std::string& k) { return k; }, cancellation, "relogio 31"},
      {"1454", [](const std::string& k) { return k; },
       [](const std::string& k) {
         std::string d = cancellation(k);
         return d.replace(d.find("21436587000156"), 14, "21436587000100");
       },
       nullptr},
      {"1455", [](const std::string& k) { return k; },
       [](const std::string& k) {
         std::string d = cancellation(k);
         return d.replace(d.find("assinaturaAC"), 12, " ");
       },
       nullptr},
      {"1232", [](const std::string& k) { return k; },
       [](const std::string& k) {
         std::string d = cancellation(k);
         return d.replace(d.find("<CPF>12345678909</CPF>"), 22, "<CNPJ>11222333000181</CNPJ>");
       },
       nullptr},
      {"1233", [](const std::string& k) { return k; },
       [](const std::string& k) {
         std::string d = cancellation(k);
         return d.replace(d.find("12345678909"), 11, "98765432100");
       },
       nullptr},
      {"1258", [](const std::string& k) { return k; }, cancellation, "relogio -10"},
  };
  int session = 950;
  for (const Case& c : cases) {
    device().resetDevice();
    const std::vector<std::string> sale =
        fieldsOf(take(EnviarDadosVenda(session++, kCode, kRichSale.c_str())));
    ASSERT_EQ(sale[1], "06000");
    std::string outcome;
    if (c.clock) {
      ASSERT_TRUE(device().control(c.clock, outcome)) << outcome;
    }
    const std::string key = c.key(sale[8]);
    const std::vector<std::string> f = fieldsOf(
        take(CancelarUltimaVenda(session++, kCode, key.c_str(), c.document(sale[8]).c_str())));
    ASSERT_EQ(f.size(), 6u) << c.code;
    EXPECT_EQ(f[1], "07007") << c.code;
    EXPECT_EQ(f[2], c.code) << f[3];
  }
  // Accepted once; the second time it is already cancelled.
  device().resetDevice();
  const std::string key = fieldsOf(take(EnviarDadosVenda(session++, kCode, kRichSale.c_str())))[8];
  const std::vector<std::string> done =
      fieldsOf(take(CancelarUltimaVenda(session++, kCode, key.c_str(), cancellation(key).c_str())));
  ASSERT_EQ(done.size(), 12u);
  EXPECT_EQ(done[1], "07000");
  EXPECT_EQ(done[9], "80.29");
  EXPECT_EQ(done[10], "12345678909");
  EXPECT_EQ(fieldsOf(take(CancelarUltimaVenda(session++, kCode, key.c_str(),
                                               cancellation(key).c_str())))[2],
            "1218");
}

}  // namespace
}  // namespace tivaxe2e
