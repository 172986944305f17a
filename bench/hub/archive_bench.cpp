// SPDX-License-Identifier: MIT
// The month's archive: a journal holding N sales (default 10,000) of about
// 4 KB each, every tenth one cancelled, written out as CF-e files plus
// resumo.csv, then zipped. Prints the time of each step and the sizes.
//
//   bench_archive [sales, default 10000]
// BENCH_DIR (default /tmp) holds the journal and the output.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base64.h"
#include "cfe_archive.h"
#include "journal.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string digits(long long value, int width) {
  std::string text = std::to_string(value);
  return std::string(static_cast<size_t>(width) - std::min<size_t>(text.size(), static_cast<size_t>(width)), '0') + text;
}

// A signed sale of five items, the size of a real one.
std::string document(const std::string& key, const char* root, const std::string& cancelled) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><" + std::string(root) + "><infCFe Id=\"CFe" + key +
                    "\" versao=\"0.07\"" + (cancelled.empty() ? "" : " chCanc=\"CFe" + cancelled + "\"") +
                    "><ide><cUF>35</cUF><dEmi>20261110</dEmi><hEmi>101500</hEmi></ide><emit><CNPJ>58473629000139</CNPJ>"
                    "<xNome>Loja de Exemplo Ltda</xNome></emit><dest/>";
  for (int i = 1; i <= 5; ++i)
    xml += "<det nItem=\"" + std::to_string(i) +
           "\"><prod><cProd>0000" + std::to_string(i) + "</cProd><xProd>Produto de exemplo número " + std::to_string(i) +
           "</xProd><NCM>22021000</NCM><CFOP>5102</CFOP><uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>3.78</vUnCom>"
           "<vProd>3.78</vProd><indRegra>A</indRegra><vItem>3.78</vItem></prod><imposto><ICMS><ICMS00><Orig>0</Orig>"
           "<CST>00</CST><pICMS>18.00</pICMS><vICMS>0.68</vICMS></ICMS00></ICMS><PIS><PISAliq><CST>01</CST>"
           "<vBC>3.78</vBC><pPIS>0.0165</pPIS><vPIS>0.06</vPIS></PISAliq></PIS><COFINS><COFINSAliq><CST>01</CST>"
           "<vBC>3.78</vBC><pCOFINS>0.0760</pCOFINS><vCOFINS>0.29</vCOFINS></COFINSAliq></COFINS></imposto></det>";
  xml += "<total><vCFe>18.90</vCFe></total><pgto><MP><cMP>01</cMP><vMP>20.00</vMP></MP><vTroco>1.10</vTroco></pgto>"
         "</infCFe><Signature><SignatureValue>" + std::string(344, 'A') + "</SignatureValue><X509Certificate>" +
         std::string(1400, 'B') + "</X509Certificate></Signature></" + root + ">";
  return xml;
}

}  // namespace

int main(int argc, char** argv) {
  const long sales = argc > 1 ? std::atol(argv[1]) : 10000;
  const char* base = std::getenv("BENCH_DIR");
  const std::filesystem::path dir = std::filesystem::path(base ? base : "/tmp") / "tivax-bench-arquivo";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string journalPath = (dir / "diario.db").string();
  std::string error;
  { auto created = tivaxhub::Journal::open(journalPath, &error); if (!created) { std::fprintf(stderr, "%s\n", error.c_str()); return 1; } }

  // Filled in one transaction: the setup is not what is measured.
  sqlite3* db = nullptr;
  sqlite3_open(journalPath.c_str(), &db);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO diario (instante, caixa, funcao, sessao, cliente, tamanho, estado, resposta, respondida_em)"
                     " VALUES (?, ?, ?, ?, '127.0.0.1', 1000, 'respondida', ?, ?)",
                     -1, &insert, nullptr);
  const long long start = 1794312900000LL;  // 2026-11-10 10:15 in São Paulo
  long long number = 0, documentBytes = 0;
  auto add = [&](const char* funcao, const std::string& line, long long when, int caixa) {
    sqlite3_bind_int64(insert, 1, when);
    sqlite3_bind_int(insert, 2, caixa);
    sqlite3_bind_text(insert, 3, funcao, -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 4, static_cast<int>(caixa * 1000 + number % 999 + 1));
    sqlite3_bind_text(insert, 5, line.data(), static_cast<int>(line.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 6, when + 20);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  };
  for (long i = 0; i < sales; ++i) {
    const long long when = start + i * 1000;  // one sale a second: under three hours of one day
    ++number;
    const std::string key = "3526115847362900013959900004019" + digits(number, 6) + digits(number * 7919 % 1000000, 6) + "0";
    const std::string xml = document(key, "CFe", "");
    documentBytes += static_cast<long long>(xml.size());
    add("EnviarDadosVenda",
        "001234|06000|0000|Emitido com sucesso|||" + tivaxemu::base64Encode(xml) + "|20261110101500|CFe" + key +
            "|18.90||" + std::string(344, 'Q'),
        when, 1 + static_cast<int>(i % 8));
    if (i % 10 == 9) {
      ++number;
      const std::string cancelKey = "3526115847362900013959900004019" + digits(number, 6) + "0000000";
      const std::string canc = document(cancelKey, "CFeCanc", key);
      documentBytes += static_cast<long long>(canc.size());
      add("CancelarUltimaVenda",
          "001235|07000|0000|Cupom cancelado|||" + tivaxemu::base64Encode(canc) + "|20261110101501|CFe" + cancelKey +
              "|18.90||" + std::string(344, 'Q'),
          when + 500, 1 + static_cast<int>(i % 8));
    }
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  auto journal = tivaxhub::Journal::open(journalPath, &error, true);
  tivaxhub::Period period;
  tivaxhub::parsePeriod("2026-11-01", "2026-11-30", &period, &error);
  const std::string folder = (dir / "cfe").string();
  tivaxhub::ArchiveSummary summary;
  auto begun = Clock::now();
  if (!tivaxhub::writeArchive(*journal, period, folder, &summary, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double written = secondsSince(begun);
  begun = Clock::now();
  const std::string zipPath = (dir / "cfe.zip").string();
  if (!tivaxhub::zipFiles(folder, summary.arquivos, zipPath, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double zipped = secondsSince(begun);
  std::printf("arquivo de %zu vendas e %zu cancelamentos (%.1f MB de XML), em %s\n", summary.vendas,
              summary.cancelamentos, documentBytes / 1e6, dir.c_str());
  std::printf("  pasta (XML + resumo.csv): %.2f s\n", written);
  std::printf("  zip:                      %.2f s (%.1f MB)\n", zipped,
              static_cast<double>(std::filesystem::file_size(zipPath)) / 1e6);
  std::printf("  total:                    %.2f s\n", written + zipped);
  std::filesystem::remove_all(dir);
  return 0;
}
