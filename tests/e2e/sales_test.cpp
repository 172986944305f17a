// SPDX-License-Identifier: MIT
// The sale and cancellation paths: cleaning, the library's own refusal, and
// what reaches the device.
#include <dirent.h>

#include <algorithm>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_documents.h"
#include "e2e_link.h"
#include "request_line.h"
#include "tivax.h"

namespace tivaxe2e {
namespace {

using Sales = LinkedTest;

std::string withoutLineFeeds(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

std::string fieldOf(const std::string& line, std::size_t index) {
  const std::vector<std::string> f = tivaxemu::splitFields(line);
  return index < f.size() ? f[index] : std::string();
}

// The pretty-printed example sales, or a pretty-printed one of our own when
// the examples are not there.
std::vector<std::string> exampleSales() {
  std::vector<std::string> sales;
  const std::string dir = std::string(TIVAX_EXAMPLES_DIR) + "/vendas";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name.rfind("venda-", 0) != 0 || name.size() < 4 ||
          name.compare(name.size() - 4, 4, ".xml") != 0)
        continue;
      std::ifstream file(dir + "/" + name, std::ios::binary);
      std::ostringstream text;
      text << file.rdbuf();
      sales.push_back(text.str());
    }
    closedir(d);
  }
  if (sales.empty()) {
    std::string pretty = kSale;
    for (std::size_t at = pretty.find("><"); at != std::string::npos; at = pretty.find("><", at + 3))
      pretty.replace(at, 2, ">\n  <");
    sales.push_back(pretty);
  }
  return sales;
}

TEST_F(Sales, MalformedSaleIsAnsweredByTheLibraryAndNeverSent) {
  const struct {
    const char* xml;
    const char* answer;
  } cases[] = {
      {"not XML at all", "000801|06010|1999|Erro no XML: ||"},
      {"<CFe><infCFe versaoDadosEnt=\"0.07\"><emit><CNPJ>1</CNPJ></emit></infCFe></CFe>",
       "000801|06010|1999|Erro no XML: Falha ao verificar tag: emit||"},
  };
  for (const auto& c : cases) {
    const std::uint64_t before = device().requestCount();
    EXPECT_EQ(take(EnviarDadosVenda(801, kCode, c.xml)), c.answer);
    EXPECT_EQ(device().requestCount(), before);
  }
}

TEST_F(Sales, PrettyPrintedSaleArrivesOnOneLine) {
  int session = 810;
  for (const std::string& sale : exampleSales()) {
    const std::string answer = take(EnviarDadosVenda(session, kCode, sale.c_str()));
    EXPECT_EQ(fieldOf(answer, 1), "06000") << answer.substr(0, 200);
    EXPECT_EQ(device().lastRequest(),
              "2|000" + std::to_string(session) + "|12345678|" + withoutLineFeeds(sale));
    ++session;
  }
}

TEST_F(Sales, SaleIsCleanedBeforeItIsSent) {
  std::string sale = kSale;
  const std::string word = "Café";
  sale.replace(sale.find(word), word.size(), "Caf\xff | moído");
  std::string expected = kSale;
  expected.replace(expected.find(word), word.size(), "Caf\xef\xbf\xbd &#x7c; moído");
  EXPECT_EQ(fieldOf(take(EnviarDadosVenda(820, kCode, sale.c_str())), 1), "06000");
  EXPECT_EQ(device().lastRequest(), "2|000820|12345678|" + expected);
}

// A till passes TesteFimAFim the same XML it sells, unescaped: it is
// cleaned as a sale's, and the device sees four fields.
TEST_F(Sales, EndToEndTestXmlIsCleanedAsASales) {
  std::string sale = kSale;
  sale.replace(sale.find("Café"), 5, "Caf\xff | moído");
  std::string expected = kSale;
  expected.replace(expected.find("Café"), 5, "Caf\xef\xbf\xbd &#x7c; moído");
  const std::string answer = take(TesteFimAFim(840, kCode, sale.c_str()));
  EXPECT_EQ(fieldOf(answer, 1), "09000") << answer.substr(0, 120);
  EXPECT_EQ(device().lastRequest(), "5|000840|12345678|" + expected);
}

// Sales from Windows tills, declared ISO-8859-1 or Windows-1252 or not
// declared at all: every accented letter reaches the device in UTF-8.
TEST_F(Sales, WindowsEncodedSalesArriveInUtf8) {
  const std::string utf8Word = "Café";
  const std::string latinWord = "Caf\xe9";
  const struct {
    const char* declaration;
    const char* sent;
  } cases[] = {
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
      {"<?xml version=\"1.0\" encoding=\"windows-1252\"?>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
      {"", ""},
  };
  int session = 850;
  for (const auto& c : cases) {
    std::string sale = c.declaration + kSale;
    sale.replace(sale.find(utf8Word), utf8Word.size(), latinWord);
    const std::string answer = take(EnviarDadosVenda(session, kCode, sale.c_str()));
    EXPECT_EQ(fieldOf(answer, 1), "06000") << c.declaration << " " << answer.substr(0, 120);
    EXPECT_EQ(device().lastRequest(), "2|000" + std::to_string(session) + "|12345678|" +
                                          c.sent + kSale)
        << c.declaration;
    ++session;
  }
}

TEST_F(Sales, CancellationIsCleanedButNeverChecked) {
  const std::string sale = take(EnviarDadosVenda(830, kCode, kSale.c_str()));
  ASSERT_EQ(fieldOf(sale, 8), kFirstKey);
  const std::uint64_t before = device().requestCount();
  const std::string answer =
      take(CancelarUltimaVenda(831, kCode, kFirstKey.c_str(), "not a | cancellation\n<x/>"));
  EXPECT_EQ(device().requestCount(), before + 1);
  EXPECT_EQ(device().lastRequest(),
            "3|000831|12345678|" + kFirstKey + "|not a &#x7c; cancellation<x/>");
  // The library leaves the judging to the device, which refuses it.
  EXPECT_EQ(fieldOf(answer, 1), "07007");
  EXPECT_EQ(fieldOf(answer, 2), "1999");
  EXPECT_EQ(take(ConsultarUltimaSessaoFiscal(832, kCode)), sale);
}

TEST_F(Sales, ClosedLinkIsOpenedAgainAndTheSaleChecked) {
  TivaxlibDeInit();
  const std::uint64_t before = device().requestCount();
  EXPECT_EQ(take(EnviarDadosVenda(840, kCode, "not XML at all")),
            "000840|06010|1999|Erro no XML: ||");
  EXPECT_EQ(device().requestCount(), before);
  TivaxlibDeInit();
  EXPECT_EQ(fieldOf(take(EnviarDadosVenda(841, kCode, kSale.c_str())), 1), "06000");
  EXPECT_EQ(device().requestCount(), before + 1);
}

}  // namespace
}  // namespace tivaxe2e
