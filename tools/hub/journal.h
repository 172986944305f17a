// SPDX-License-Identifier: MIT
// The durable journal: every request the hub takes for the device and
// every answer, committed to SQLite (WAL) before the exchange starts and
// before the HTTP answer leaves (synchronously, but for queries), plus each
// checkout's last session number. Activation and emergency codes never go
// in.
#ifndef TIVAX_HUB_JOURNAL_H
#define TIVAX_HUB_JOURNAL_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace tivaxhub {

// What became of a journalled request.
namespace estado {
constexpr char kEnviada[] = "enviada";          // recorded; the exchange had started
constexpr char kRespondida[] = "respondida";    // the answer is known (resposta)
constexpr char kSemResposta[] = "sem_resposta"; // the library gave the invalid result: the
                                                // device may or may not have carried it out
constexpr char kRecusada[] = "recusada";        // never reached the device
}  // namespace estado

struct JournalEntry {
  std::int64_t row = 0;
  std::int64_t instante = 0;  // milliseconds since the epoch
  int caixa = 0;
  std::string funcao;         // the standard's name
  int sessao = 0;             // 0: none drawn
  std::string cliente;        // the client's address
  std::int64_t tamanho = 0;   // request body bytes
  std::string idRequisicao;   // empty: none
  std::string estado;
  std::optional<std::string> resposta;
  std::string erro;
  std::int64_t respondidaEm = 0;
  std::string resumo;  // the request's digest (empty in older journals)
};

// Each checkout owns the session numbers caixa*1000+1 .. caixa*1000+999 and
// goes through them in turn, so a checkout repeats a number only after 998
// others and two checkouts never share one. A number whose request has no
// known answer is passed over (Journal draws), so that the device's answer
// kept under it stays that request's. `last` outside the range (no
// history yet) starts at the range's `start`-th number.
int nextSession(int caixa, int last, unsigned start = 0);

class Journal {
 public:
  // Opens or creates the journal. Null, with the reason in *error, when it
  // cannot be used. Beside a journal opened for writing lies a marker
  // (markerPath), written when the journal is first created: a journal
  // missing or emptied while its marker is there has lost what it held,
  // and is refused rather than begun anew (repeated ids would be sold
  // again).
  static std::unique_ptr<Journal> open(const std::string& path, std::string* error,
                                       bool readOnly = false);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Draws the checkout's next session number into entry.sessao and records
  // the request as sent, in one commit; entry.row is set.
  bool begin(JournalEntry& entry);
  // For a request that may safely be carried out twice (a query): draws
  // the next session number without a commit, and later records request
  // and outcome together, in one commit that does not wait for the disk. A number drawn this way but never
  // recorded (the hub stopped in between) is skipped after reopening.
  int drawSession(int caixa);
  bool record(JournalEntry& entry);
  // Records a request that never reached the device.
  bool refuse(JournalEntry& entry);
  // Records the outcome of a begun request.
  bool finish(std::int64_t row, const std::string& estado, const std::optional<std::string>& resposta,
              const std::string& erro);

  // The latest request of the checkout with this id that went to the device.
  std::optional<JournalEntry> find(int caixa, const std::string& idRequisicao);
  // The latest entries, newest first.
  std::vector<JournalEntry> recent(std::size_t limit);
  // The checkout's latest entries, newest first.
  std::vector<JournalEntry> recentOf(std::size_t limit, int caixa);
  // When the device last accepted a sale (ms since the epoch; 0: never).
  std::int64_t lastAcceptedSale();
  // Every entry of these functions with an answer, journalled between the
  // two instants (ms, inclusive), in journal order.
  void eachAnswer(const std::vector<std::string>& funcoes, std::int64_t fromMs, std::int64_t toMs,
                  const std::function<void(const JournalEntry&)>& each);
  // The checkout's last session number recorded (0: none).
  int lastSession(int caixa);
  // The answer of the latest answered entry before `row` under the same
  // checkout and session number.
  std::optional<std::string> answerBefore(int caixa, int sessao, std::int64_t row);

  // Removes the entries older than `days` (0: none), then the oldest while
  // the file is over `maxBytes` (0: no limit). Returns how many went.
  // With `fiscalDays` >= 0 the answered sales and cancellations (the CF-e)
  // are kept apart: removed only once older than `fiscalDays` (0: never),
  // and never to make room.
  std::int64_t rotate(int days, std::int64_t maxBytes, std::int64_t nowMs, int fiscalDays = -1);

  const std::string& lastError() const { return error_; }

 private:
  explicit Journal(sqlite3* db);
  bool exec(const char* sql);
  bool addDigestColumn();
  int drawLocked(int caixa);
  int advanceLocked(int caixa, int from);
  bool keepSessionLocked(int caixa, int sessao);
  bool insertLocked(JournalEntry& entry);
  bool insertWithSessionLocked(JournalEntry& entry);
  std::int64_t fileBytes();

  sqlite3* db_;
  std::mutex mutex_;
  std::string error_;
  std::map<int, int> drawn_;  // each checkout's last number drawn since opening
};

std::int64_t nowMilliseconds();

std::string markerPath(const std::string& journalPath);

// "" when this process may write the journal's files; else, for root with
// a journal (or its folder) that belongs to another user, what to do: the
// files root would create or change could not be used by that user.
std::string ownerProblem(const std::string& journalPath);

}  // namespace tivaxhub

#endif
