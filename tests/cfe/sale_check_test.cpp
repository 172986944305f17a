// SPDX-License-Identifier: MIT
// The check as the sale path runs it: cleaned text in, verdict and the
// detail text of the refusal out.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <utf8.h>

#include "cfe/sale_check.h"
#include "cfe/sale_text.h"
#include "example_documents.h"

namespace {

std::string groupWithText(const std::string& group, const std::string& text) {
  return "<" + group + ">" + text + "<x/></" + group + ">";
}

TEST(SaleCheck, BlankDestAndTotalPassOnlyOnceCleaned) {
  std::string sale = readExample("venda-minima.xml");
  sale.replace(sale.find("<dest/>"), 7, "<dest>\n    </dest>");
  sale.replace(sale.find("<total/>"), 8, "<total> 0.00 </total>");

  std::string detail;
  EXPECT_FALSE(check_sale_xml(sale, detail));
  EXPECT_EQ(detail, "Nó de grupo não deve ter texto: \"dest\" : \"     \"");

  prepare_sale_xml(sale);
  EXPECT_TRUE(check_sale_xml(sale, detail));
  EXPECT_EQ(detail, "");
}

TEST(SaleCheck, PipesAndBrokenBytesInTextsStillPass) {
  std::string sale = readExample("venda-completa.xml");
  sale.replace(sale.find("Oferta da semana"), 16, "Oferta | semana \xFF");
  prepare_sale_xml(sale);
  EXPECT_NE(sale.find("Oferta &#x7c; semana \xEF\xBF\xBD"), std::string::npos);
  std::string detail;
  EXPECT_TRUE(check_sale_xml(sale, detail)) << detail;
}

TEST(SaleCheck, The501stItemIsRefusedAfterCleaning) {
  std::string sale = withExtraItem(readExample("venda-500-itens.xml"));
  prepare_sale_xml(sale);
  std::string detail;
  EXPECT_FALSE(check_sale_xml(sale, detail));
  EXPECT_EQ(detail, "Falha ao verificar tag: det");
}

// Group-text messages carry the caller's text, so their length is the
// caller's; 43 bytes come before the text when the group is "ide".
// The detail ends up as one field of one result line: what the document's
// character references decode to may not break the line or its UTF-8.
TEST(SaleCheck, DetailIsFitForOneFieldOfTheResultLine) {
  std::string detail;
  check_sale_xml(groupWithText("ide", "caixa&#124;01&#10;&#13;x"), detail);
  EXPECT_EQ(detail, "Nó de grupo não deve ter texto: \"ide\" : \"caixa&#x7c;01  x\"");

  check_sale_xml(groupWithText("ide", "&#x7FFFFFFF;"), detail);
  EXPECT_TRUE(utf8::is_valid(detail.begin(), detail.end()));
  EXPECT_EQ(detail.rfind("Nó de grupo não deve ter texto: \"ide\" : \"", 0), 0u) << detail;
}

TEST(SaleCheck, LongDetailIsCutTo180Bytes) {
  std::string detail;
  check_sale_xml(groupWithText("ide", std::string(180 - 43 - 1, 'a')), detail);
  EXPECT_EQ(detail.size(), 180u);
  EXPECT_EQ(detail.back(), '"');

  check_sale_xml(groupWithText("ide", std::string(200, 'a')), detail);
  EXPECT_EQ(detail.size(), 180u);
  EXPECT_EQ(detail, "Nó de grupo não deve ter texto: \"ide\" : \"" + std::string(134, 'a') + "...");
}

// With "emit" 44 bytes precede the text, so byte 177 falls inside a
// two-byte character: the cut goes back to that character's start.
TEST(SaleCheck, CutNeverSplitsACharacter) {
  std::string detail;
  check_sale_xml(groupWithText("emit", repeat("é", 100)), detail);
  EXPECT_EQ(detail, "Nó de grupo não deve ter texto: \"emit\" : \"" + repeat("é", 66) + "...");

  // Every offset against characters of two, three and four bytes.
  for (const std::string character : {"é", "€", "\xF0\x9F\x98\x80"}) {
    for (size_t pad = 0; pad < 4; ++pad) {
      const std::string text = std::string(pad, 'a') + repeat(character, 80);
      const std::string whole = "Nó de grupo não deve ter texto: \"ide\" : \"" + text + "\"";
      check_sale_xml(groupWithText("ide", text), detail);
      ASSERT_GE(detail.size(), 177u);
      EXPECT_LE(detail.size(), 180u);
      EXPECT_TRUE(utf8::is_valid(detail.begin(), detail.end())) << pad;
      EXPECT_EQ(detail.substr(detail.size() - 3), "...");
      EXPECT_EQ(whole.compare(0, detail.size() - 3, detail, 0, detail.size() - 3), 0);
    }
  }
}

TEST(SaleCheck, ConcurrentChecksKeepTheirOwnDetail) {
  struct Job {
    std::string sale;
    bool ok;
    std::string detail;
  };
  std::string noCaixa = readExample("venda-minima.xml");
  const size_t caixa = noCaixa.find("      <numeroCaixa>");
  noCaixa.erase(caixa, noCaixa.find('\n', caixa) + 1 - caixa);
  std::string emitFirst = readExample("venda-completa.xml");
  const size_t ide = emitFirst.find("    <ide>");
  emitFirst.erase(ide, emitFirst.find("</ide>\n") + 7 - ide);
  const std::vector<Job> jobs = {
      {noCaixa, false, "Falha ao verificar a tag: ide"},
      {emitFirst, false, "Falha ao verificar tag: emit"},
      {readExample("venda-500-itens.xml"), true, ""},
  };

  std::vector<int> mismatches(jobs.size(), 0);
  std::vector<std::thread> threads;
  for (size_t j = 0; j < jobs.size(); ++j) {
    threads.emplace_back([&jobs, &mismatches, j] {
      for (int round = 0; round < 100; ++round) {
        std::string detail;
        const bool ok = check_sale_xml(jobs[j].sale, detail);
        if (ok != jobs[j].ok || detail != jobs[j].detail) ++mismatches[j];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t j = 0; j < jobs.size(); ++j) EXPECT_EQ(mismatches[j], 0) << jobs[j].detail;
}

}  // namespace
