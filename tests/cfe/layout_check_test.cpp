// SPDX-License-Identifier: MIT
// The layout check over small documents. A document need not be a whole
// sale: elements with names outside the layout are not checked, so a bare
// group such as <ide> can be the root.
#include <string>

#include <gtest/gtest.h>

#include "cfe/sale_check.h"
#include "example_documents.h"

namespace {

const std::string kTag = "Falha ao verificar tag: ";
const std::string kContent = "Falha ao verificar conteúdo da tag: ";
const std::string kMissing = "Falha ao verificar a tag: ";
const std::string kAttribute = "Falha ao verificar atributo: ";
const std::string kGroupText = "Nó de grupo não deve ter texto: ";
const std::string kLeafText = "Nó PCDATA deve ser uma folha, nunca ser encontrado entre tags: ";

TEST(LayoutCheck, MessagePrefixesHaveTheirByteLengths) {
  EXPECT_EQ(kLeafText.size(), 64u);
  EXPECT_EQ(kGroupText.size(), 34u);
  EXPECT_EQ(kAttribute.size(), 29u);
  EXPECT_EQ(kTag.size(), 24u);
  EXPECT_EQ(kContent.size(), 37u);
  EXPECT_EQ(kMissing.size(), 26u);
}

struct Case {
  const char* what;
  std::string xml;
  bool ok;
  std::string message;  // empty for a pass and for a silent refusal
};

const std::string kIde = "<ide><CNPJ>1</CNPJ><signAC>s</signAC><numeroCaixa>1</numeroCaixa></ide>";

const Case kCases[] = {
    // Attributes take the leading entries.
    {"infCFe with its attribute but emit first", "<infCFe versaoDadosEnt=\"0.07\"><emit/></infCFe>",
     false, kTag + "emit"},
    {"infCFe without its attribute, ide compared with it", "<infCFe><ide/></infCFe>", false,
     kTag + "ide"},
    {"unknown attribute", "<infCFe versao=\"0.07\"/>", false, kAttribute + "versao"},
    {"attribute values are not looked at", "<PISNT CST=\"|&lt;\"/>", true, ""},
    {"more attributes than entries", "<PISNT CST=\"1\" x=\"2\"/>", false, ""},
    {"det without nItem", "<det><prod/></det>", false, kTag + "prod"},

    // Children in order, with their counts.
    {"complete ide", kIde, true, ""},
    {"ide without numeroCaixa", "<ide><CNPJ/><signAC/></ide>", false, kMissing + "ide"},
    {"empty ide", "<ide/>", false, kMissing + "ide"},
    {"element after the last entry", "<ide><CNPJ/><signAC/><numeroCaixa/><foo/></ide>", false, ""},
    {"two CNPJ in ide", "<ide><CNPJ/><CNPJ/><signAC/><numeroCaixa/></ide>", false, kTag + "CNPJ"},
    {"CNPJ again later in ide counts too", "<ide><CNPJ/><signAC/><CNPJ/><numeroCaixa/></ide>",
     false, kTag + "CNPJ"},
    {"cEAN before cProd", "<prod><cEAN/><cProd/></prod>", false, kTag + "cEAN"},
    {"10 MP", "<pgto>" + repeat("<MP/>", 10) + "</pgto>", true, ""},
    {"11 MP", "<pgto>" + repeat("<MP/>", 11) + "</pgto>", false, kTag + "MP"},
    {"empty pgto", "<pgto></pgto>", false, kMissing + "pgto"},
    {"10 obsFiscoDet pass the bound",
     "<prod><cProd/><xProd/><CFOP/><uCom/><qCom/><vUnCom/><indRegra/>" +
         repeat("<obsFiscoDet><xCampoDet/><xTextoDet/></obsFiscoDet>", 10) + "</prod>",
     true, ""},
    {"11 obsFiscoDet",
     "<prod><cProd/><xProd/><CFOP/><uCom/><qCom/><vUnCom/><indRegra/>" +
         repeat("<obsFiscoDet/>", 11) + "</prod>",
     false, kTag + "obsFiscoDet"},
    // A run that is not contiguous: the steps over it land on x, and the
    // walk resumes at the second MP with the list used up.
    {"MP run broken by another element", "<pgto><MP/><x/><MP/></pgto>", false, ""},

    // Optional entries.
    {"dest holding nothing", "<dest></dest>", true, ""},
    {"dest as an empty-element tag", "<dest/>", true, ""},
    {"dest with CPF and xNome", "<dest><CPF>1</CPF><xNome>Ana</xNome></dest>", true, ""},
    {"dest holding an unknown element", "<dest><foo/></dest>", false, kContent + "foo"},
    {"total entries out of order", "<total><vCFeLei12741/><DescAcrEntr/></total>", false,
     kTag + "vCFeLei12741"},
    {"present optional entry must be met in order",
     "<PIS><PISNT><CST/></PISNT><PISAliq><CST/><vBC/><pPIS/></PISAliq></PIS>", false,
     kTag + "PISNT"},
    {"one PIS choice", "<PIS><PISOutr><CST/><qBCProd/></PISOutr></PIS>", true, ""},
    {"ICMS empty", "<ICMS/>", true, ""},
    // Presence is by name among all children; a processing instruction
    // bears a name too.
    {"processing instruction names an optional entry",
     "<PIS><?PISAliq?><PISNT><CST/></PISNT></PIS>", false, kTag + "PISNT"},

    // Text.
    {"group with text besides its elements", "<ide>abc" + kIde.substr(5), false,
     kGroupText + "\"ide\" : \"abc\""},
    {"group holding a single blank", "<ide> </ide>", false, kGroupText + "\"ide\" : \" \""},
    {"group text from CDATA", "<dest><![CDATA[x]]></dest>", false,
     kGroupText + "\"dest\" : \"x\""},
    {"leaf with text and an element", "<xProd>abc<b/></xProd>", false, kLeafText + "\"abc\""},
    {"leaf text after an element", "<xProd><b/>abc</xProd>", false, kLeafText + "\"abc\""},
    {"leaf with text and CDATA", "<xProd>abc<![CDATA[d]]></xProd>", false, kLeafText + "\"abc\""},
    {"text content is not looked at", "<ide><CNPJ>|x|</CNPJ><signAC>&lt;&gt;&amp;</signAC>"
                                      "<numeroCaixa> </numeroCaixa></ide>",
     true, ""},
    // The empty CDATA makes the group text empty; the step over the MP run
    // passes the text node, so pgto passes and the text itself is refused.
    {"run step passes over text", "<pgto><![CDATA[]]><MP/>t<MP/></pgto>", false,
     kLeafText + "\"t\""},

    // Unknown names are not checked, but what they hold is.
    {"unknown root holding a bad group", "<foo><dest><x/></dest></foo>", false, kContent + "x"},
    {"group inside a leaf", "<xProd><ide><CNPJ/></ide></xProd>", false, kMissing + "ide"},
    {"CFe with something else inside", "<CFe><infCFe2/></CFe>", false, kTag + "infCFe2"},
    {"document type and processing instruction around",
     "<!DOCTYPE ide><?app x?>" + kIde, true, ""},
    {"byte-order mark", "\xEF\xBB\xBF" + kIde, true, ""},

    // Texts that do not load.
    {"not XML", "isto não é XML", false, ""},
    {"empty text", "", false, ""},
    {"no element", "<?app x?>", false, ""},
    {"unclosed element", "<ide><CNPJ>", false, ""},
};

TEST(LayoutCheck, SmallDocuments) {
  for (const Case& c : kCases) {
    std::string detail = "left over from an earlier check";
    const bool ok = check_sale_xml(c.xml, detail);
    EXPECT_EQ(ok, c.ok) << c.what;
    EXPECT_EQ(detail, c.message) << c.what;
  }
}

TEST(LayoutCheck, ExampleSalesPass) {
  for (const char* name : {"venda-minima.xml", "venda-completa.xml", "venda-500-itens.xml"}) {
    std::string detail;
    EXPECT_TRUE(check_sale_xml(readExample(name), detail)) << name;
    EXPECT_EQ(detail, "") << name;
  }
}

TEST(LayoutCheck, The501stItemIsRefused) {
  std::string detail;
  EXPECT_FALSE(check_sale_xml(withExtraItem(readExample("venda-500-itens.xml")), detail));
  EXPECT_EQ(detail, kTag + "det");
}

TEST(LayoutCheck, SaleMissingARequiredGroup) {
  std::string sale = readExample("venda-minima.xml");
  const size_t start = sale.find("    <ide>");
  sale.erase(start, sale.find("</ide>\n") + 7 - start);
  std::string detail;
  EXPECT_FALSE(check_sale_xml(sale, detail));
  EXPECT_EQ(detail, kTag + "emit");
}

// pugixml parses and walks without recursion; a very deep document is
// either walked to the bottom or refused, never a crash.
TEST(LayoutCheck, DeepNesting) {
  const size_t depth = 100000;
  std::string detail;
  EXPECT_TRUE(check_sale_xml(repeat("<a>", depth) + "x" + repeat("</a>", depth), detail));
  EXPECT_EQ(detail, "");
  EXPECT_FALSE(check_sale_xml(repeat("<dest>", depth) + repeat("</dest>", depth), detail));
  EXPECT_EQ(detail, kContent + "dest");
  EXPECT_FALSE(check_sale_xml(repeat("<a>", depth), detail));
  EXPECT_EQ(detail, "");
}

}  // namespace
