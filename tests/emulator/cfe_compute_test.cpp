// SPDX-License-Identifier: MIT
// What the device computes, against examples worked by hand, and the check
// digits it verifies and writes.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>
#include <vector>

#include "cfe_compute.h"
#include "check_digits.h"
#include "fixed_point.h"
#include "sale_rules.h"

namespace tivaxemu {
namespace {

// A product line: quantity, unit value, rule, and the optional extras.
struct Line {
  std::string qCom, vUnCom, rule;
  std::string vDesc = "", vOutro = "", tax = "";
  bool service = false;
};

const char kSnTax[] =
    "<ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS>"
    "<PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS>";
const char kServiceTax[] =
    "<ISSQN><vDeducISSQN>0.00</vDeducISSQN><vAliq>5.00</vAliq><cNatOp>01</cNatOp>"
    "<indIncFisc>2</indIncFisc></ISSQN><PIS><PISSN><CST>49</CST></PISSN></PIS>"
    "<COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS>";

std::string saleOf(const std::vector<Line>& lines, const std::string& total,
                   const std::string& rat = "N", const std::string& paid = "99999.00") {
  std::string xml =
      "<CFe><infCFe versaoDadosEnt=\"0.07\"><ide><CNPJ>21436587000156</CNPJ><signAC>x</signAC>"
      "<numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>58473629000139</CNPJ><IE>614253698117</IE>"
      "<IM>123</IM><indRatISSQN>" + rat + "</indRatISSQN></emit><dest/>";
  int n = 0;
  for (const Line& l : lines) {
    xml += "<det nItem=\"" + std::to_string(++n) + "\"><prod><cProd>1</cProd><xProd>x</xProd>"
           "<CFOP>5102</CFOP><uCom>UN</uCom><qCom>" + l.qCom + "</qCom><vUnCom>" + l.vUnCom +
           "</vUnCom><indRegra>" + l.rule + "</indRegra>";
    if (!l.vDesc.empty()) xml += "<vDesc>" + l.vDesc + "</vDesc>";
    if (!l.vOutro.empty()) xml += "<vOutro>" + l.vOutro + "</vOutro>";
    xml += "</prod><imposto>" + (l.tax.empty() ? std::string(l.service ? kServiceTax : kSnTax) : l.tax) +
           "</imposto></det>";
  }
  return xml + "<total>" + total + "</total><pgto><MP><cMP>01</cMP><vMP>" + paid +
         "</vMP></MP></pgto></infCFe></CFe>";
}

// Judges and computes; the figures of an accepted sale.
SaleFigures figuresOf(const std::string& xml, int expectedCode = 0) {
  pugi::xml_document document;
  EXPECT_TRUE(document.load_string(xml.c_str()));
  SaleFigures figures;
  const Rejection r = judgeSale(document.document_element(), SaleContext(), figures);
  EXPECT_EQ(r.code, expectedCode) << r.message();
  return figures;
}

TEST(Computation, RoundingAndTruncationOfTheProductValue) {
  const struct {
    const char* qCom;
    const char* vUnCom;
    const char* rule;
    std::int64_t cents;
  } cases[] = {
      {"0.4500", "16.90", "A", 761},  // 7.605
      {"0.4500", "16.90", "T", 760},
      {"3.0000", "2.499", "A", 750},  // 7.497
      {"3.0000", "2.499", "T", 749},
      {"1.3330", "0.99", "A", 132},   // 1.31967
      {"1.3330", "0.99", "T", 131},
      {"2.0000", "18.90", "T", 3780},  // exact either way
  };
  for (const auto& c : cases) {
    const SaleFigures f = figuresOf(saleOf({{c.qCom, c.vUnCom, c.rule}}, ""));
    ASSERT_EQ(f.items.size(), 1u);
    EXPECT_EQ(f.items[0].vProd, c.cents) << c.qCom << " x " << c.vUnCom << " " << c.rule;
  }
}

TEST(Computation, SubtotalDiscountIsApportionedWithTheRemainderOnTheLastItem) {
  // Net values 10.00, 20.00 and 30.01 (60.01); 1.00 off: 0.1666 -> 0.17,
  // 0.3332 -> 0.33, and the last takes 1.00 - 0.50 = 0.50.
  const SaleFigures f = figuresOf(saleOf(
      {{"1.0000", "10.00", "A"}, {"1.0000", "20.50", "A", "0.50"}, {"1.0000", "30.00", "A", "", "0.01"}},
      "<DescAcrEntr><vDescSubtot>1.00</vDescSubtot></DescAcrEntr>"));
  ASSERT_EQ(f.items.size(), 3u);
  EXPECT_EQ(f.items[0].vRatDesc, 17);
  EXPECT_EQ(f.items[1].vRatDesc, 33);
  EXPECT_EQ(f.items[2].vRatDesc, 50);
  EXPECT_EQ(f.items[0].vItem, 983);
  EXPECT_EQ(f.items[1].vItem, 1967);
  EXPECT_EQ(f.items[2].vItem, 2951);
  EXPECT_EQ(f.vCFe, 5901);
  EXPECT_EQ(f.vProd, 6050);
  EXPECT_EQ(f.vDesc, 50);
  EXPECT_EQ(f.vOutro, 1);

  // An increase the same way, and only vRatAcr.
  const SaleFigures up = figuresOf(saleOf({{"1.0000", "10.00", "A"}, {"1.0000", "20.00", "A"}},
                                          "<DescAcrEntr><vAcresSubtot>0.10</vAcresSubtot></DescAcrEntr>"));
  EXPECT_EQ(up.items[0].vRatAcr, 3);  // 0.0333
  EXPECT_EQ(up.items[1].vRatAcr, 7);
  EXPECT_EQ(up.items[0].vRatDesc, 0);
  EXPECT_EQ(up.vCFe, 3010);
}

TEST(Computation, ServiceItemsShareTheDiscountOnlyWithIndRatIssqnS) {
  const std::vector<Line> lines = {{"1.0000", "10.00", "A"}, {"1.0000", "30.00", "A", "", "", "", true}};
  const std::string discount = "<DescAcrEntr><vDescSubtot>4.00</vDescSubtot></DescAcrEntr>";
  const SaleFigures no = figuresOf(saleOf(lines, discount, "N"));
  EXPECT_EQ(no.items[0].vRatDesc, 400);
  EXPECT_EQ(no.items[1].vRatDesc, 0);
  EXPECT_FALSE(no.items[1].shares);
  EXPECT_EQ(no.items[1].issBase, 3000);
  EXPECT_EQ(no.items[1].vISSQN, 150);
  const SaleFigures yes = figuresOf(saleOf(lines, discount, "S"));
  EXPECT_EQ(yes.items[0].vRatDesc, 100);
  EXPECT_EQ(yes.items[1].vRatDesc, 300);
  EXPECT_EQ(yes.items[1].issBase, 2700);
  EXPECT_EQ(yes.items[1].vISSQN, 135);
  EXPECT_EQ(yes.vCFe, 3600);
  EXPECT_TRUE(yes.anyService);
  EXPECT_EQ(yes.issBC, 2700);
  EXPECT_EQ(yes.vISS, 135);
}

TEST(Computation, TaxesAreRoundedOnceOnTheItemValue) {
  // vICMS on vItem (436.24 x 18% = 78.5232), not on vProd (437.24); PIS
  // 148.77 x 0.0165 = 2.454705 -> 2.45, never 2.455 -> 2.46; COFINS by
  // quantity 3.5000 x 0.3333 = 1.16655 -> 1.17.
  const std::string tax =
      "<ICMS><ICMS00><Orig>0</Orig><CST>00</CST><pICMS>18.00</pICMS></ICMS00></ICMS>"
      "<PIS><PISAliq><CST>01</CST><vBC>148.77</vBC><pPIS>0.0165</pPIS></PISAliq></PIS>"
      "<COFINS><COFINSQtde><CST>03</CST><qBCProd>3.5000</qBCProd><vAliqProd>0.3333</vAliqProd>"
      "</COFINSQtde></COFINS>";
  const SaleFigures f = figuresOf(saleOf({{"1.0000", "437.24", "A", "1.00", "", tax}}, ""));
  EXPECT_EQ(f.items[0].vItem, 43624);
  EXPECT_EQ(f.items[0].vICMS, 7852);
  EXPECT_EQ(f.items[0].vPIS, 245);
  EXPECT_EQ(f.items[0].vCOFINS, 117);
  EXPECT_EQ(f.vICMS, 7852);
}

TEST(Computation, ChangeAndShortPayments) {
  EXPECT_EQ(figuresOf(saleOf({{"1.0000", "18.90", "A"}}, "", "N", "20.00")).vTroco, 110);
  EXPECT_EQ(figuresOf(saleOf({{"1.0000", "18.90", "A"}}, "", "N", "18.90")).vTroco, 0);
  figuresOf(saleOf({{"1.0000", "18.90", "A"}}, "", "N", "18.89"), 1408);
}

TEST(Computation, FiveHundredItems) {
  // 500 items of 1.00 with 0.03 off: every share (0.00006) rounds to 0.00
  // and the last item carries the whole discount.
  std::vector<Line> lines(500, Line{"1.0000", "1.00", "A"});
  const std::string discount = "<DescAcrEntr><vDescSubtot>0.03</vDescSubtot></DescAcrEntr>";
  const SaleFigures f = figuresOf(saleOf(lines, discount));
  ASSERT_EQ(f.items.size(), 500u);
  EXPECT_EQ(f.items[0].vRatDesc, 0);
  EXPECT_EQ(f.items[498].vRatDesc, 0);
  EXPECT_EQ(f.items[499].vRatDesc, 3);
  EXPECT_EQ(f.items[499].vItem, 97);
  EXPECT_EQ(f.vCFe, 49997);
  // Items of 0.01: the last would go negative, and the sale is refused.
  figuresOf(saleOf(std::vector<Line>(500, Line{"1.0000", "0.01", "A"}), discount), 1998);
  lines.push_back(Line{"1.0000", "0.01", "A"});
  pugi::xml_document tooMany;
  tooMany.load_string(saleOf(lines, "").c_str());
  SaleFigures ignored;
  EXPECT_EQ(judgeSale(tooMany.document_element(), SaleContext(), ignored).code, 1999);
}

TEST(Computation, TheReturnedDocumentCarriesTheFigures) {
  const std::string xml = saleOf({{"0.4500", "16.90", "T"}, {"1.0000", "10.00", "A"}},
                                 "<DescAcrEntr><vDescSubtot>0.60</vDescSubtot></DescAcrEntr>"
                                 "<vCFeLei12741>1.23</vCFeLei12741>", "N", "20.00");
  pugi::xml_document input;
  input.load_string(xml.c_str());
  const SaleFigures f = figuresOf(xml);
  Parametrisation device;
  DocumentStamp stamp;
  stamp.nCFe = 42;
  stamp.cNF = 123456;
  stamp.dEmi = "20240215";
  stamp.hEmi = "101112";
  const std::string key = accessKey(device, "58473629000139", stamp);
  EXPECT_EQ(key.substr(0, 43), "3524025847362900013959900004019000042123456");
  EXPECT_EQ(key[43], accessKeyCheckDigit(key.substr(0, 43)));
  pugi::xml_document out;
  ASSERT_TRUE(
      out.load_string(saleCfe(input.document_element(), f, device, stamp, key, "QR").c_str()));
  const pugi::xml_node info = out.child("CFe").child("infCFe");
  EXPECT_EQ(std::string(info.attribute("Id").value()), "CFe" + key);
  EXPECT_STREQ(info.child("ide").child_value("nCFe"), "000042");
  EXPECT_STREQ(info.child("ide").child_value("cDV"), key.substr(43).c_str());
  EXPECT_STREQ(info.child("ide").child_value("assinaturaQRCODE"), "QR");
  EXPECT_STREQ(info.child("emit").child_value("xNome"), device.xNome.c_str());
  const pugi::xml_node first = info.child("det").child("prod");
  EXPECT_STREQ(first.child_value("vProd"), "7.60");
  EXPECT_STREQ(first.child_value("vRatDesc"), "0.26");  // 7.60 x 0.60 / 17.60 = 0.2590
  EXPECT_STREQ(first.child_value("vItem"), "7.34");
  EXPECT_FALSE(first.child("vRatAcr"));
  EXPECT_STREQ(info.child("total").child_value("vCFe"), "17.00");
  EXPECT_STREQ(info.child("total").child_value("vCFeLei12741"), "1.23");
  EXPECT_STREQ(info.child("total").child("ICMSTot").child_value("vProd"), "17.60");
  EXPECT_STREQ(info.child("pgto").child_value("vTroco"), "3.00");
  EXPECT_EQ(qrCodeData(key, stamp, "17.00", ""), key + "|20240215101112|17.00|");
}

TEST(CheckDigits, AccessKeyCnpjCpfGtin) {
  EXPECT_EQ(accessKeyCheckDigit("3524021111111111111159123456789000002721370"), '7');
  const struct {
    const char* text;
    bool (*check)(const std::string&);
    bool valid;
  } cases[] = {
      {"58473629000139", validCnpj, true},   {"58473629000138", validCnpj, false},
      {"11222333000181", validCnpj, true},   {"11111111111111", validCnpj, false},
      {"00000000000000", validCnpj, false},  {"5847362900013", validCnpj, false},
      {"5847362900013X", validCnpj, false},  {"12345678909", validCpf, true},
      {"12345678900", validCpf, false},      {"11111111111", validCpf, false},
      {"00000000000", validCpf, false},      {"1234567890", validCpf, false},
      {"7890000000017", validGtin, true},    {"7890000000018", validGtin, false},
      {"96385074", validGtin, true},         {"96385075", validGtin, false},
      {"036000291452", validGtin, true},     {"10036000291459", validGtin, true},
      {"00000000", validGtin, true},         {"123456789", validGtin, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.check(c.text), c.valid) << c.text;
}

TEST(FixedPoint, DecimalTextAndProducts) {
  std::int64_t v = 0;
  EXPECT_TRUE(parseFixed("18.90", 2, v));
  EXPECT_EQ(v, 1890);
  EXPECT_TRUE(parseFixed("-0.5", 2, v));
  EXPECT_EQ(v, -50);
  EXPECT_TRUE(parseFixed("7", 3, v));
  EXPECT_EQ(v, 7000);
  for (const char* bad : {"", "-", ".5", "5.", "18,90", "1.234", "1e3", "99999999999999999999"})
    EXPECT_FALSE(parseFixed(bad, 2, v)) << bad;
  EXPECT_EQ(formatFixed(-5, 2), "-0.05");
  EXPECT_EQ(formatFixed(123456, 2), "1234.56");
  ASSERT_TRUE(mulDivRound(785232, 1, 10000, v));
  EXPECT_EQ(v, 79);
  ASSERT_TRUE(mulDivRound(-15, 1, 10, v));
  EXPECT_EQ(v, -2);
  EXPECT_FALSE(mulDivRound(INT64_MAX, INT64_MAX, 1, v));
}

}  // namespace
}  // namespace tivaxemu
