// SPDX-License-Identifier: MIT
#include "cfe_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "device_health.h"
#include "hub.h"
#include "journal.h"

namespace tivaxhub {

namespace {

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool allDigits(const std::string& text, size_t size) {
  if (text.size() != size) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// "AAAA-MM-DD" as "AAAAMMDD", when it is a real date.
std::optional<std::string> isoDate(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const std::string compact = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
  if (!allDigits(compact, 8) || !deviceTime(compact)) return std::nullopt;
  // deviceTime takes 31 days in any month: a 31st that is not a day rolls
  // over, and the date read back differs.
  const int year = std::stoi(compact.substr(0, 4)), month = std::stoi(compact.substr(4, 2)),
            day = std::stoi(compact.substr(6, 2));
  const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > monthDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
  return compact;
}

bool writeWhole(const std::string& path, const std::string& bytes, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) *error = "não foi possível gravar " + path + ": " + std::strerror(errno);
  return ok;
}

struct Row {
  std::string chave, tipo, dataHora, total, destinatario, canceladaPor;
  int caixa = 0;
};

std::string readableTime(const std::string& t) {
  if (t.size() != 14) return t;
  return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + " " + t.substr(8, 2) + ":" + t.substr(10, 2) +
         ":" + t.substr(12, 2);
}

}  // namespace

bool decodeBase64(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<size_t>(k)];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return false;  // data after padding
      v[k] = base64Value(c);
      if (v[k] < 0) return false;
    }
    const unsigned triple = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
    out += static_cast<char>((triple >> 16) & 0xff);
    if (padding < 2) out += static_cast<char>((triple >> 8) & 0xff);
    if (padding < 1) out += static_cast<char>(triple & 0xff);
  }
  *bytes = std::move(out);
  return true;
}

bool parseFiscalAnswer(const std::string& line, FiscalAnswer* answer) {
  const std::string code = answerField(line, 1);
  if (code != "06000" && code != "07000") return false;
  FiscalAnswer a;
  a.cancelamento = code == "07000";
  a.base64 = answerField(line, 6);
  a.dataHora = answerField(line, 7);
  const std::string key = answerField(line, 8);
  if (key.size() != 47 || key.compare(0, 3, "CFe") != 0 || !allDigits(key.substr(3), 44)) return false;
  if (!allDigits(a.dataHora, 14) || a.base64.empty()) return false;
  a.chave = key.substr(3);
  a.total = answerField(line, 9);
  a.destinatario = answerField(line, 10);
  *answer = a;
  return true;
}

int itemCount(const std::string& xml) {
  int count = 0;
  for (size_t at = xml.find("<det"); at != std::string::npos; at = xml.find("<det", at + 4)) {
    const char next = at + 4 < xml.size() ? xml[at + 4] : '\0';
    if (next == ' ' || next == '>' || next == '\t' || next == '\n' || next == '\r') ++count;
  }
  return count;
}

std::string cancelledKey(const std::string& xml) {
  const size_t at = xml.find("chCanc=\"CFe");
  if (at == std::string::npos) return "";
  const std::string key = xml.substr(at + 11, 44);
  return allDigits(key, 44) ? key : "";
}

bool parsePeriod(const std::string& de, const std::string& ate, Period* period, std::string* error) {
  const std::optional<std::string> from = isoDate(de), to = isoDate(ate);
  if (!from || !to) {
    *error = "datas devem ter a forma AAAA-MM-DD (por exemplo 2026-11-01)";
    return false;
  }
  if (*to < *from) {
    *error = "a data final (" + ate + ") é anterior à inicial (" + de + ")";
    return false;
  }
  *period = Period{*from, *to};
  return true;
}

bool writeArchive(Journal& journal, const Period& period, const std::string& folder, ArchiveSummary* summary,
                  std::string* error) {
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "não foi possível criar a pasta " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = folder + " não é uma pasta";
    return false;
  }
  // The journal's instants are the hub's; the documents' dates are the
  // device's. Two days on each side cover any clock and time zone, and the
  // document's own date decides.
  const std::int64_t day = 86400000;
  const std::int64_t from = *deviceTime(period.de) * 1000 - 2 * day;
  const std::int64_t to = *deviceTime(period.ate) * 1000 + 3 * day;
  // A document may be in several answers: the function's own, and a
  // ConsultarNumeroSessao or ConsultarUltimaSessaoFiscal that fetched it
  // again after a lost answer. The first one counts.
  const std::vector<std::string> funcoes = {"EnviarDadosVenda", "CancelarUltimaVenda", "ConsultarNumeroSessao",
                                            "ConsultarUltimaSessaoFiscal"};
  std::set<std::string> seen;
  std::vector<Row> rows;
  std::map<std::string, size_t> saleRow;  // key -> index in rows
  std::vector<std::pair<std::string, std::string>> cancellations;  // sale key, cancellation key
  ArchiveSummary done;
  bool ok = true;
  journal.eachAnswer(funcoes, from, to, [&](const JournalEntry& entry) {
    FiscalAnswer answer;
    if (!ok || !entry.resposta || !parseFiscalAnswer(*entry.resposta, &answer)) return;
    const std::string date = answer.dataHora.substr(0, 8);
    if (date < period.de || date > period.ate || !seen.insert(answer.chave).second) return;
    std::string xml;
    if (!decodeBase64(answer.base64, &xml)) {
      ok = false;
      *error = "o documento CFe" + answer.chave + " no diário (linha " + std::to_string(entry.row) +
               ") não é base64 válido";
      return;
    }
    const std::string name = (answer.cancelamento ? "CFeCanc" : "CFe") + answer.chave + ".xml";
    if (!writeWhole(folder + "/" + name, xml, error)) {
      ok = false;
      return;
    }
    done.arquivos.push_back(name);
    Row row{answer.chave, answer.cancelamento ? "cancelamento" : "venda", readableTime(answer.dataHora),
            answer.total, answer.destinatario, "", entry.caixa};
    if (answer.cancelamento) {
      ++done.cancelamentos;
      cancellations.emplace_back(cancelledKey(xml), answer.chave);
    } else {
      ++done.vendas;
      saleRow[answer.chave] = rows.size();
    }
    rows.push_back(row);
  });
  if (!ok) return false;
  for (const auto& c : cancellations) {
    const auto sale = saleRow.find(c.first);
    if (sale != saleRow.end()) rows[sale->second].canceladaPor = c.second;
  }
  std::string csv = "chave;tipo;data_hora;caixa;total;cpf_cnpj_destinatario;cancelada_por\r\n";
  for (const Row& r : rows)
    csv += r.chave + ";" + r.tipo + ";" + r.dataHora + ";" + std::to_string(r.caixa) + ";" + r.total + ";" +
           r.destinatario + ";" + r.canceladaPor + "\r\n";
  if (!writeWhole(folder + "/resumo.csv", csv, error)) return false;
  done.arquivos.push_back("resumo.csv");
  *summary = std::move(done);
  return true;
}

bool zipFiles(const std::string& folder, const std::vector<std::string>& names, const std::string& zipPath,
              std::string* error) {
  int code = 0;
  zip_t* archive = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) {
    zip_error_t reason;
    zip_error_init_with_code(&reason, code);
    *error = "não foi possível criar " + zipPath + ": " + zip_error_strerror(&reason);
    zip_error_fini(&reason);
    return false;
  }
  for (const std::string& name : names) {
    zip_source_t* source = zip_source_file(archive, (folder + "/" + name).c_str(), 0, -1);
    if (!source || zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
      if (source) zip_source_free(source);
      *error = "não foi possível pôr " + name + " em " + zipPath + ": " + zip_strerror(archive);
      zip_discard(archive);
      return false;
    }
  }
  // The files are read and compressed here.
  if (zip_close(archive) != 0) {
    *error = "não foi possível gravar " + zipPath + ": " + zip_strerror(archive);
    zip_discard(archive);
    return false;
  }
  return true;
}

}  // namespace tivaxhub
