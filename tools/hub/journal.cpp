// SPDX-License-Identifier: MIT
#include "journal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>

namespace tivaxhub {

namespace {

const int kSessionsPerCheckout = 999;

// One prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int i, std::int64_t v) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& bind(int i, const std::string& v) {
    if (stmt_) sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bindOptional(int i, const std::optional<std::string>& v) {
    if (!v) {
      if (stmt_) sqlite3_bind_null(stmt_, i);
      return *this;
    }
    return bind(i, *v);
  }
  Statement& bindNullIfEmpty(int i, const std::string& v) {
    return bindOptional(i, v.empty() ? std::nullopt : std::optional<std::string>(v));
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
  bool isNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string text(int column) {
    const unsigned char* data = sqlite3_column_text(stmt_, column);
    return data ? std::string(reinterpret_cast<const char*>(data),
                              static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS diario ("
    " linha INTEGER PRIMARY KEY,"
    " instante INTEGER NOT NULL,"
    " caixa INTEGER NOT NULL,"
    " funcao TEXT NOT NULL,"
    " sessao INTEGER,"
    " cliente TEXT NOT NULL,"
    " tamanho INTEGER NOT NULL,"
    " id_requisicao TEXT,"
    " estado TEXT NOT NULL,"
    " resposta TEXT,"
    " erro TEXT,"
    " respondida_em INTEGER,"
    " resumo TEXT);"
    "CREATE INDEX IF NOT EXISTS diario_id ON diario (caixa, id_requisicao)"
    " WHERE id_requisicao IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS diario_instante ON diario (instante);"
    "CREATE INDEX IF NOT EXISTS diario_sessao ON diario (caixa, sessao);"
    // Kept apart from the entries so that rotation never loses a
    // checkout's place in its range of session numbers.
    "CREATE TABLE IF NOT EXISTS sessoes (caixa INTEGER PRIMARY KEY, ultima INTEGER NOT NULL);";

const char kColumns[] =
    "SELECT linha, instante, caixa, funcao, sessao, cliente, tamanho, id_requisicao, estado,"
    " resposta, erro, respondida_em, resumo FROM diario ";

JournalEntry readEntry(Statement& s) {
  JournalEntry e;
  e.row = s.integer(0);
  e.instante = s.integer(1);
  e.caixa = static_cast<int>(s.integer(2));
  e.funcao = s.text(3);
  e.sessao = static_cast<int>(s.integer(4));
  e.cliente = s.text(5);
  e.tamanho = s.integer(6);
  e.idRequisicao = s.text(7);
  e.estado = s.text(8);
  if (!s.isNull(9)) e.resposta = s.text(9);
  e.erro = s.text(10);
  e.respondidaEm = s.integer(11);
  e.resumo = s.text(12);
  return e;
}

}  // namespace

std::int64_t nowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int nextSession(int caixa, int last, unsigned start) {
  const int base = caixa * 1000;
  const int offset = last - base;
  if (offset < 1 || offset > kSessionsPerCheckout)
    return base + 1 + static_cast<int>(start % kSessionsPerCheckout);
  return base + offset % kSessionsPerCheckout + 1;
}

std::string markerPath(const std::string& journalPath) { return journalPath + ".marca"; }

namespace {

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string userName(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user ? user->pw_name : std::to_string(uid);
}

// Written once, and flushed with its folder, before the journal is used.
bool writeMarker(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::string text =
      "Este arquivo diz que o diário ao lado já foi criado por tivax-hub.\n"
      "Se o diário sumir ou ficar vazio com este arquivo presente, o hub não inicia.\n";
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  const int folder = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  if (!ok) *error = "não foi possível gravar " + path;
  return ok;
}

}  // namespace

std::string ownerProblem(const std::string& journalPath) {
  if (::geteuid() != 0) return "";
  struct stat info {};
  const std::string checked = ::stat(journalPath.c_str(), &info) == 0 ? journalPath : folderOf(journalPath);
  if (checked != journalPath && ::stat(checked.c_str(), &info) != 0) return "";
  if (info.st_uid == 0) return "";
  const std::string user = userName(info.st_uid);
  return checked + " pertence ao usuário " + user + ": execute o hub como " + user +
         " (systemctl start tivax-hub, ou sudo -u " + user +
         " tivax-hub ...); como root, criaria arquivos que o serviço não poderia usar";
}

std::unique_ptr<Journal> Journal::open(const std::string& path, std::string* error, bool readOnly) {
  const std::string marker = markerPath(path);
  struct stat info {};
  const bool hasData = ::stat(path.c_str(), &info) == 0 && info.st_size > 0;
  const bool marked = !readOnly && ::access(marker.c_str(), F_OK) == 0;
  if (marked && !hasData) {
    *error = "o diário " + path + " sumiu ou está vazio, mas já foi usado (existe " + marker +
             "): começar um diário novo faria vender de novo requisições já atendidas. Restaure o diário "
             "de uma cópia; para começar um diário novo mesmo assim, apague " + marker;
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    *error = "não foi possível abrir o diário " + path + ": " + (db ? sqlite3_errmsg(db) : "sem memória");
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Journal> journal(new Journal(db));
  sqlite3_busy_timeout(db, 5000);
  if (readOnly) return journal;
  // auto_vacuum only takes effect before the first table exists; it lets
  // rotation give the space of removed entries back to the file system.
  const bool ready = journal->exec("PRAGMA auto_vacuum = INCREMENTAL") &&
                     journal->exec("PRAGMA journal_mode = WAL") &&
                     journal->exec("PRAGMA synchronous = FULL") && journal->exec(kSchema) &&
                     journal->addDigestColumn();
  if (!ready) {
    *error = "não foi possível preparar o diário " + path + ": " + journal->error_;
    return nullptr;
  }
  if (!marked && !writeMarker(marker, error)) return nullptr;
  return journal;
}

Journal::Journal(sqlite3* db) : db_(db) {}

Journal::~Journal() { sqlite3_close(db_); }

// Journals written before requests had digests lack the column.
bool Journal::addDigestColumn() {
  Statement columns(db_, "SELECT 1 FROM pragma_table_info('diario') WHERE name = 'resumo'");
  if (columns.step() == SQLITE_ROW) return true;
  return exec("ALTER TABLE diario ADD COLUMN resumo TEXT");
}

bool Journal::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error_ = message ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

int Journal::drawLocked(int caixa) {
  auto last = drawn_.find(caixa);
  if (last == drawn_.end()) {
    Statement s(db_, "SELECT ultima FROM sessoes WHERE caixa = ?");
    s.bind(1, caixa);
    int recorded = 0;
    if (s.step() == SQLITE_ROW) recorded = static_cast<int>(s.integer(0));
    // The number after the last recorded one may have gone to the device
    // unrecorded (a query, just before the hub stopped): it is skipped. A
    // checkout without history starts anywhere in its range, so that a
    // journal lost and begun anew is unlikely to replay recent numbers.
    std::random_device entropy;
    last = drawn_.emplace(caixa, recorded ? nextSession(caixa, recorded) : nextSession(caixa, 0, entropy()))
               .first;
    if (!recorded) {
      last->second = advanceLocked(caixa, last->second);
      return last->second;
    }
  }
  last->second = advanceLocked(caixa, nextSession(caixa, last->second));
  return last->second;
}

// `from`, or the first number after it whose request is not waiting for
// its answer to be known.
int Journal::advanceLocked(int caixa, int from) {
  int sessao = from;
  for (int tries = 0; tries < kSessionsPerCheckout; ++tries) {
    Statement open(db_,
                   "SELECT 1 FROM diario WHERE caixa = ? AND sessao = ?"
                   " AND estado IN ('enviada', 'sem_resposta') LIMIT 1");
    open.bind(1, caixa).bind(2, sessao);
    if (open.step() != SQLITE_ROW) return sessao;
    sessao = nextSession(caixa, sessao);
  }
  return from;  // every number waits: nothing better to do
}

bool Journal::keepSessionLocked(int caixa, int sessao) {
  Statement keep(db_, "INSERT OR REPLACE INTO sessoes (caixa, ultima) VALUES (?, ?)");
  keep.bind(1, caixa).bind(2, sessao);
  return keep.step() == SQLITE_DONE;
}

int Journal::drawSession(int caixa) {
  std::lock_guard<std::mutex> lock(mutex_);
  return drawLocked(caixa);
}

bool Journal::insertLocked(JournalEntry& entry) {
  Statement insert(db_,
                   "INSERT INTO diario (instante, caixa, funcao, sessao, cliente, tamanho,"
                   " id_requisicao, estado, resposta, erro, respondida_em, resumo)"
                   " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, entry.instante)
      .bind(2, entry.caixa)
      .bind(3, entry.funcao)
      .bindOptional(4, entry.sessao ? std::optional<std::string>(std::to_string(entry.sessao)) : std::nullopt)
      .bind(5, entry.cliente)
      .bind(6, entry.tamanho)
      .bindNullIfEmpty(7, entry.idRequisicao)
      .bind(8, entry.estado)
      .bindOptional(9, entry.resposta)
      .bindNullIfEmpty(10, entry.erro);
  if (entry.estado == estado::kEnviada)
    insert.bindOptional(11, std::nullopt);
  else
    insert.bind(11, nowMilliseconds());
  insert.bindNullIfEmpty(12, entry.resumo);
  if (insert.step() != SQLITE_DONE) {
    error_ = sqlite3_errmsg(db_);
    return false;
  }
  entry.row = sqlite3_last_insert_rowid(db_);
  return true;
}

// The entry and its checkout's session number, in one commit.
bool Journal::insertWithSessionLocked(JournalEntry& entry) {
  if (!exec("BEGIN IMMEDIATE")) return false;
  if (!keepSessionLocked(entry.caixa, entry.sessao) || !insertLocked(entry) || !exec("COMMIT")) {
    if (error_.empty()) error_ = sqlite3_errmsg(db_);
    exec("ROLLBACK");
    return false;
  }
  return true;
}

bool Journal::begin(JournalEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry.sessao = drawLocked(entry.caixa);
  entry.estado = estado::kEnviada;
  entry.resposta.reset();
  entry.erro.clear();
  return insertWithSessionLocked(entry);
}

bool Journal::record(JournalEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A query may be asked again, so its entry does not wait for the disk:
  // it reaches it with the next synchronous commit (a sale's), in order,
  // since the write-ahead log is only appended to.
  if (!exec("PRAGMA synchronous = NORMAL")) return false;
  const bool kept = insertWithSessionLocked(entry);
  return exec("PRAGMA synchronous = FULL") && kept;
}

bool Journal::refuse(JournalEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entry.sessao = 0;
  entry.estado = estado::kRecusada;
  return insertLocked(entry);
}

bool Journal::finish(std::int64_t row, const std::string& state,
                     const std::optional<std::string>& resposta, const std::string& erro) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement update(db_,
                   "UPDATE diario SET estado = ?, resposta = ?, erro = ?, respondida_em = ?"
                   " WHERE linha = ?");
  update.bind(1, state).bindOptional(2, resposta).bindNullIfEmpty(3, erro).bind(4, nowMilliseconds()).bind(5, row);
  if (update.step() != SQLITE_DONE) {
    error_ = sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

std::optional<JournalEntry> Journal::find(int caixa, const std::string& idRequisicao) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, (std::string(kColumns) +
                    "WHERE caixa = ? AND id_requisicao = ? AND estado <> 'recusada'"
                    " ORDER BY linha DESC LIMIT 1")
                       .c_str());
  s.bind(1, caixa).bind(2, idRequisicao);
  if (s.step() != SQLITE_ROW) return std::nullopt;
  return readEntry(s);
}

std::vector<JournalEntry> Journal::recent(std::size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<JournalEntry> entries;
  Statement s(db_, (std::string(kColumns) + "ORDER BY linha DESC LIMIT ?").c_str());
  s.bind(1, static_cast<std::int64_t>(limit));
  while (s.step() == SQLITE_ROW) entries.push_back(readEntry(s));
  return entries;
}

std::vector<JournalEntry> Journal::recentOf(std::size_t limit, int caixa) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<JournalEntry> entries;
  Statement s(db_, (std::string(kColumns) + "WHERE caixa = ? ORDER BY linha DESC LIMIT ?").c_str());
  s.bind(1, caixa).bind(2, static_cast<std::int64_t>(limit));
  while (s.step() == SQLITE_ROW) entries.push_back(readEntry(s));
  return entries;
}

std::int64_t Journal::lastAcceptedSale() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_,
              "SELECT max(instante) FROM diario WHERE funcao = 'EnviarDadosVenda'"
              " AND estado = 'respondida' AND resposta LIKE '%|06000|%'");
  return s.step() == SQLITE_ROW ? s.integer(0) : 0;
}

void Journal::eachAnswer(const std::vector<std::string>& funcoes, std::int64_t fromMs, std::int64_t toMs,
                         const std::function<void(const JournalEntry&)>& each) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string sql = std::string(kColumns) + "WHERE instante BETWEEN ? AND ? AND resposta IS NOT NULL AND funcao IN (";
  for (size_t i = 0; i < funcoes.size(); ++i) sql += i ? ", ?" : "?";
  sql += ") ORDER BY linha";
  Statement s(db_, sql.c_str());
  s.bind(1, fromMs).bind(2, toMs);
  for (size_t i = 0; i < funcoes.size(); ++i) s.bind(static_cast<int>(i) + 3, funcoes[i]);
  while (s.step() == SQLITE_ROW) each(readEntry(s));
}

int Journal::lastSession(int caixa) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT ultima FROM sessoes WHERE caixa = ?");
  s.bind(1, caixa);
  return s.step() == SQLITE_ROW ? static_cast<int>(s.integer(0)) : 0;
}

std::optional<std::string> Journal::answerBefore(int caixa, int sessao, std::int64_t row) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_,
              "SELECT resposta FROM diario WHERE caixa = ? AND sessao = ? AND linha < ?"
              " AND resposta IS NOT NULL ORDER BY linha DESC LIMIT 1");
  s.bind(1, caixa).bind(2, sessao).bind(3, row);
  if (s.step() != SQLITE_ROW) return std::nullopt;
  return s.text(0);
}

std::int64_t Journal::fileBytes() {
  Statement pages(db_, "PRAGMA page_count");
  Statement size(db_, "PRAGMA page_size");
  if (pages.step() != SQLITE_ROW || size.step() != SQLITE_ROW) return 0;
  return pages.integer(0) * size.integer(0);
}

std::int64_t Journal::rotate(int days, std::int64_t maxBytes, std::int64_t nowMs, int fiscalDays) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::int64_t removed = 0;
  const std::string kept =
      fiscalDays < 0 ? "" : " AND NOT (funcao IN ('EnviarDadosVenda', 'CancelarUltimaVenda') AND estado = 'respondida')";
  if (days > 0) {
    Statement s(db_, ("DELETE FROM diario WHERE instante < ?" + kept).c_str());
    s.bind(1, nowMs - static_cast<std::int64_t>(days) * 86400000);
    if (s.step() == SQLITE_DONE) removed += sqlite3_changes(db_);
  }
  if (fiscalDays > 0) {
    Statement s(db_, "DELETE FROM diario WHERE instante < ?");
    s.bind(1, nowMs - static_cast<std::int64_t>(fiscalDays) * 86400000);
    if (s.step() == SQLITE_DONE) removed += sqlite3_changes(db_);
  }
  exec("PRAGMA incremental_vacuum");
  // A tenth of what is left goes at each turn until the file fits.
  while (maxBytes > 0 && fileBytes() > maxBytes) {
    Statement count(db_, ("SELECT count(*) FROM diario WHERE 1" + kept).c_str());
    const std::int64_t rows = count.step() == SQLITE_ROW ? count.integer(0) : 0;
    if (rows == 0) break;
    Statement s(db_, ("DELETE FROM diario WHERE linha IN (SELECT linha FROM diario WHERE 1" + kept +
                      " ORDER BY linha LIMIT ?)").c_str());
    s.bind(1, rows / 10 > 0 ? rows / 10 : 1);
    if (s.step() != SQLITE_DONE) break;
    removed += sqlite3_changes(db_);
    exec("PRAGMA incremental_vacuum");
  }
  if (removed > 0) exec("PRAGMA wal_checkpoint(TRUNCATE)");
  return removed;
}

}  // namespace tivaxhub
