// SPDX-License-Identifier: MIT
// The input layout the device checks before any field rule: each row
// breaks it in one place, and the refusal names that place.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>

#include "sale_rules.h"

namespace tivaxemu {
namespace {

const std::string kSale =
    "<CFe><infCFe versaoDadosEnt=\"0.08\"><ide><CNPJ>21436587000156</CNPJ><signAC>x</signAC>"
    "<numeroCaixa>001</numeroCaixa></ide><emit><CNPJ>58473629000139</CNPJ><IE>614253698117</IE>"
    "<indRatISSQN>N</indRatISSQN></emit><dest><xNome>Maria</xNome></dest><det nItem=\"1\"><prod>"
    "<cProd>1</cProd><xProd>Café</xProd><NCM>09012100</NCM><CFOP>5102</CFOP><uCom>UN</uCom>"
    "<qCom>1.0000</qCom><vUnCom>18.90</vUnCom><indRegra>A</indRegra></prod><imposto><ICMS>"
    "<ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS><PIS><PISSN><CST>49</CST>"
    "</PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS></imposto></det>"
    "<total><DescAcrEntr><vDescSubtot>0.90</vDescSubtot></DescAcrEntr></total>"
    "<pgto><MP><cMP>01</cMP><vMP>20.00</vMP></MP></pgto></infCFe></CFe>";

Rejection judged(const std::string& xml) {
  pugi::xml_document document;
  EXPECT_TRUE(document.load_string(xml.c_str())) << xml;
  SaleFigures figures;
  return judgeSale(document.document_element(), SaleContext(), figures);
}

TEST(SaleLayout, EachBreachIsNamed) {
  ASSERT_EQ(judged(kSale).code, 0) << judged(kSale).message();
  const struct {
    const char* find;
    const char* replace;
    const char* element;
  } rows[] = {
      {" versaoDadosEnt=\"0.08\"", "", "infCFe@versaoDadosEnt"},
      {"\"0.08\"", "\"8\"", "infCFe@versaoDadosEnt"},
      {"<numeroCaixa>001", "<numeroCaixa>01", "ide/numeroCaixa"},
      {"<indRatISSQN>N</indRatISSQN>", "", "emit/indRatISSQN"},
      {"<xNome>Maria", "<xNome>M", "dest/xNome"},
      {"<ide>", "<ide><mod>59</mod>", "ide/mod"},
      {"<emit>", "<emit foo=\"1\">", "emit@foo"},
      {"<NCM>09012100", "<NCM>0901210", "det[1]/prod/NCM"},
      {"<CFOP>5102</CFOP><uCom>UN</uCom>", "<uCom>UN</uCom><CFOP>5102</CFOP>", "det[1]/prod/CFOP"},
      {"<qCom>1.0000", "<qCom>1.000", "det[1]/prod/qCom"},
      {"<vUnCom>18.90", "<vUnCom>18,90", "det[1]/prod/vUnCom"},
      {"<vUnCom>18.90", "<vUnCom>18.9", "det[1]/prod/vUnCom"},
      {"<imposto><ICMS>", "<imposto><vProd>1.00</vProd><ICMS>", "det[1]/imposto/vProd"},
      {"</ICMSSN102>", "</ICMSSN102><ICMSSN900><Orig>0</Orig><CSOSN>900</CSOSN><pICMS>1.00</pICMS></ICMSSN900>", "det[1]/imposto/ICMS"},
      {"<PIS><PISSN><CST>49</CST></PISSN></PIS>", "<PIS/>", "det[1]/imposto/PIS"},
      {"<vDescSubtot>0.90</vDescSubtot>",
       "<vDescSubtot>0.90</vDescSubtot><vAcresSubtot>0.10</vAcresSubtot>", "total/DescAcrEntr"},
      {"<total>", "<total>texto", "total"},
      {"<vMP>20.00", "<vMP>20", "pgto/MP[1]/vMP"},
      {"<pgto><MP><cMP>01</cMP><vMP>20.00</vMP></MP></pgto>", "<pgto/>", "pgto/MP"},
  };
  for (const auto& row : rows) {
    std::string xml = kSale;
    xml.replace(xml.find(row.find), std::string(row.find).size(), row.replace);
    const Rejection r = judged(xml);
    EXPECT_EQ(r.code, 1999) << row.replace << ": " << r.message();
    EXPECT_EQ(r.element, row.element) << row.replace << ": " << r.message();
  }
  // Eleven payments, and 501 items.
  std::string payments = kSale;
  const std::string mp = "<MP><cMP>01</cMP><vMP>20.00</vMP></MP>";
  for (int i = 0; i < 10; ++i) payments.insert(payments.find("</pgto>"), mp);
  EXPECT_EQ(judged(payments).element, "pgto/MP");
  EXPECT_EQ(judged(payments).code, 1999);
}

}  // namespace
}  // namespace tivaxemu
