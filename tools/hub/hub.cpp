// SPDX-License-Identifier: MIT
#include "hub.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <exception>

#include "emulator.h"
#include "operations_log.h"
#include "recovery.h"
#include "tivax.h"

namespace tivaxhub {

namespace {

using Clock = DeviceQueue::Clock;

const std::chrono::milliseconds kUpkeepEvery{2000};
const std::int64_t kRotationEveryMs = 3600 * 1000;

std::string takeResult(char* result) {
  std::string text = result ? result : "";
  DesalocarString(result);
  return text;
}

}  // namespace

std::string answerField(const std::string& line, size_t index) {
  size_t start = 0;
  for (size_t i = 0; i < index; ++i) {
    start = line.find('|', start);
    if (start == std::string::npos) return "";
    ++start;
  }
  return line.substr(start, line.find('|', start) - start);
}

namespace {

JournalEntry entryFor(const HubFunction& function, const HubRequest& request, const RequestOrigin& origin) {
  JournalEntry entry;
  entry.instante = nowMilliseconds();
  entry.caixa = request.caixa;
  entry.funcao = function.name;
  entry.cliente = origin.cliente;
  entry.tamanho = origin.tamanho;
  entry.idRequisicao = request.id;
  entry.resumo = request.resumo;
  return entry;
}

HubReply errorReply(int status, const std::string& erro) {
  HubReply reply;
  reply.status = status;
  reply.body = {{"erro", erro}};
  return reply;
}

// The answer for a client: the function's standard name, the library's
// line ("" for the invalid result, with the reason) and the session.
HubReply answerReply(int status, const std::string& funcao, const std::string& retorno, int sessao,
                     const std::string& erro) {
  HubReply reply;
  reply.status = status;
  reply.body = {{"funcao", funcao}, {"retorno", retorno}, {"numero_sessao", sessao}};
  if (retorno.empty() && !erro.empty()) reply.body["erro"] = erro;
  return reply;
}

HubReply entryReply(const JournalEntry& entry) {
  return answerReply(200, entry.funcao, entry.resposta.value_or(""), entry.sessao, entry.erro);
}

// The one place that decides between "the device cannot be reached" (503)
// and an answer (200, possibly the invalid result).
int statusFor(Delivery delivery) { return delivery == Delivery::Unreachable ? 503 : 200; }

const char* outcomeLabel(Delivery delivery) {
  switch (delivery) {
    case Delivery::Answered:
      return "resposta";
    case Delivery::Invalid:
      return "invalido";
    case Delivery::Unreachable:
      return "inacessivel";
  }
  return "";
}


}  // namespace

std::string jsonText(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A request id being served: repeats that arrive meanwhile wait for it.
struct Hub::Pending {
  const HubFunction* function = nullptr;
  std::string resumo;
  bool done = false;
  HubReply reply;
};

// What the worker found in one exchange.
struct Hub::Exchange {
  bool ran = false;           // the request was journalled and went to the device
  bool journalFailed = false;
  Delivery delivery = Delivery::Unreachable;
  JournalEntry entry;
  std::string line;
};

Hub::Hub(HubConfig config, std::string configPath)
    : config_(std::move(config)),
      configPath_(std::move(configPath)),
      codigo_(config_.codigoAtivacao) {}

Hub::~Hub() { stop(); }

bool Hub::start(bool emulator, std::string* error) {
  const std::string owner = ownerProblem(config_.diario);
  if (!owner.empty()) {
    *error = owner;
    return false;
  }
  journal_ = Journal::open(config_.diario, error);
  if (!journal_) return false;
  std::string port = config_.porta;
  if (emulator) {
    tivaxemu::Options options;
    options.activationCode = codigo_;
    // A fixed link to the emulated terminal, so that the device can be
    // switched off and on (switchEmulator) and found again at the same path.
    std::error_code noTemp;
    std::string folder = (std::filesystem::temp_directory_path(noTemp) / "tivax-hub-emulador-XXXXXX").string();
    if (::mkdtemp(folder.data())) {
      emulatorDir_ = folder;
      options.linkPath = folder + "/sat";
    }
    emulator_ = std::make_unique<tivaxemu::Emulator>(options);
    std::string reason;
    if (!emulator_->start(&reason)) {
      *error = "não foi possível iniciar o emulador: " + reason;
      return false;
    }
    port = emulator_->portPath();
  }
  // The library reads its deadline when it first needs it: before the
  // first call.
  setenv("TIVAX_TIMEOUT", config_.prazoTexto.c_str(), 1);
  if (!config_.log.empty()) setenv("TIVAX_LOG", config_.log.c_str(), 1);
  link_ = std::make_unique<DeviceLink>(port);
  const std::string where = port.empty() ? "descoberta USB" : port;
  if (link_->connect())
    logMessage("equipamento conectado (" + where + ")");
  else
    logMessage(link_->unreachable() + " (" + where + "); nova tentativa a cada " +
               std::to_string(kUpkeepEvery.count() / 1000) + " s");
  lastRotation_ = nowMilliseconds();
  const std::int64_t removed =
      journal_->rotate(config_.diarioDias, config_.diarioMegabytes << 20, lastRotation_, config_.arquivoDias);
  if (removed > 0) logMessage("diário: " + std::to_string(removed) + " entradas antigas removidas");
  queue_ = std::make_unique<DeviceQueue>([this] { upkeep(); }, kUpkeepEvery);
  queue_->start();
  watcher_ = std::thread([this, port] {
    std::unique_lock<std::mutex> lock(watchMutex_);
    while (!watchStop_) {
      lock.unlock();
      struct stat info {};
      const bool present = port.empty() ? DispositivoConectado() == 1 : ::stat(port.c_str(), &info) == 0;
      if (present_.exchange(present) && !present) {
        logMessage("o equipamento sumiu (" + (port.empty() ? std::string("descoberta USB") : port) + ")");
        relink_ = true;
      }
      lock.lock();
      watchWake_.wait_for(lock, std::chrono::seconds(1), [this] { return watchStop_; });
    }
  });
  activity_.saleAccepted(journal_->lastAcceptedSale());
  if (config_.consultaStatus > 0) {
    poller_ = std::make_unique<StatusPoller>([this](std::string* why) { return askStatus(why); },
                                             config_.consultaStatus);
    poller_->start();
  }
  return true;
}

// The hub's own status query: checkout 0's turn and session numbers, so
// that it waits its turn and never repeats a recent session number.
std::string Hub::askStatus(std::string* error) {
  HubRequest request;
  request.function = findFunction("consultarstatusoperacional");
  request.caixa = 0;
  const HubReply reply = call(request, RequestOrigin{"hub", 0});
  const std::string line = reply.body.value("retorno", std::string());
  if (line.empty()) *error = reply.body.value("erro", std::string());
  return line;
}

void Hub::stopQueue() {
  if (poller_) poller_->requestStop();
  if (queue_) queue_->stop();
  if (poller_) poller_->join();
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    watchStop_ = true;
    watchWake_.notify_all();
  }
  if (watcher_.joinable()) watcher_.join();
}

bool Hub::linkUp() const { return link_ && link_->up() && present_; }

void Hub::stop() {
  stopQueue();
  if (link_ && link_->up()) link_->close();
  if (emulator_) emulator_->stop();
  if (!emulatorDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(emulatorDir_, ignored);
    emulatorDir_.clear();
  }
}

bool Hub::switchEmulator(bool* on) {
  if (!emulator_) return false;
  std::lock_guard<std::mutex> lock(emulatorMutex_);
  std::string reason;
  if (emulatorOn_) {
    emulator_->stop();
    emulatorOn_ = false;
  } else if (emulator_->start(&reason)) {
    emulatorOn_ = true;
  } else {
    logMessage("não foi possível religar o emulador: " + reason);
  }
  *on = emulatorOn_;
  return true;
}

void Hub::upkeep() {
  // The link to a device that went away is stale even once it is back.
  if (relink_.exchange(false)) link_->close();
  if (!link_->up() && link_->connect()) logMessage("equipamento conectado de novo");
  const std::int64_t now = nowMilliseconds();
  if (now - lastRotation_ >= kRotationEveryMs) {
    lastRotation_ = now;
    const std::int64_t removed =
        journal_->rotate(config_.diarioDias, config_.diarioMegabytes << 20, now, config_.arquivoDias);
    if (removed > 0) logMessage("diário: " + std::to_string(removed) + " entradas antigas removidas");
  }
}

namespace {

// The same id from the same checkout for another request: the checkout's
// counter went back, and answering with the first request's answer would
// lose this one.
std::optional<HubReply> idConflict(const std::string& funcao, const std::string& resumo, const HubRequest& request) {
  if (funcao != request.function->name)
    return errorReply(409, "id_requisicao já usado por este caixa para " + funcao + "; use outro id_requisicao");
  if (!resumo.empty() && resumo != request.resumo)
    return errorReply(409, "id_requisicao já usado por este caixa para outra requisição de " + funcao +
                               " com outro conteúdo; use outro id_requisicao");
  return std::nullopt;
}

}  // namespace

HubReply Hub::call(const HubRequest& incoming, const RequestOrigin& origin) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.prazo));
  if (incoming.id.empty()) return execute(incoming, origin, deadline);
  HubRequest request = incoming;
  request.resumo = requestDigest(request);

  const auto key = std::make_pair(request.caixa, request.id);
  std::unique_lock<std::mutex> lock(pendingMutex_);
  const auto running = pending_.find(key);
  if (running != pending_.end()) {
    const std::shared_ptr<Pending> pending = running->second;
    lock.unlock();
    return awaitPending(pending, request, deadline);
  }
  const std::optional<JournalEntry> found = journal_->find(request.caixa, request.id);
  if (found)
    if (auto conflict = idConflict(found->funcao, found->resumo, request)) return *conflict;
  if (found && found->estado == estado::kRespondida) return entryReply(*found);

  auto pending = std::make_shared<Pending>();
  pending->function = request.function;
  pending->resumo = request.resumo;
  pending_[key] = pending;
  lock.unlock();

  HubReply reply;
  try {
    // The request went to the device before and its answer is not known:
    // a query is simply asked again; anything else is recovered from the
    // device's own record of the session, never carried out twice.
    reply = !found || request.function->repeatable ? execute(request, origin, deadline)
                                                   : recover(*found, request, origin, deadline);
  } catch (const std::exception& e) {
    reply = errorReply(500, std::string("erro interno: ") + e.what());
  }

  lock.lock();
  pending_.erase(key);
  pending->reply = reply;
  pending->done = true;
  pendingDone_.notify_all();
  return reply;
}

HubReply Hub::awaitPending(const std::shared_ptr<Pending>& pending, const HubRequest& request,
                           Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(pendingMutex_);
  if (auto conflict = idConflict(pending->function->name, pending->resumo, request)) return *conflict;
  // The original may still be on the wire past this request's deadline.
  if (!pendingDone_.wait_until(lock, deadline, [&] { return pending->done; }))
    return errorReply(503, "a requisição com este id_requisicao ainda está em andamento; tente de novo");
  return pending->reply;
}

std::optional<HubReply> Hub::queued(const HubRequest& request, const RequestOrigin& origin,
                                    Clock::time_point deadline, const std::function<void()>& work) {
  const std::shared_ptr<DeviceQueue::Ticket> ticket = queue_->submit(request.caixa, work, request.function->name);
  DeviceQueue::Wait wait = DeviceQueue::Wait::Stopping;
  if (ticket) wait = queue_->waitStarted(ticket, deadline);
  if (wait == DeviceQueue::Wait::Started) {
    queue_->waitDone(ticket);
    return std::nullopt;
  }
  if (wait == DeviceQueue::Wait::Expired)
    return refuse(request, origin, "prazo de " + config_.prazoTexto + " s esgotado à espera do equipamento",
                  "prazo");
  return refuse(request, origin, "o hub está encerrando", "encerramento");
}

HubReply Hub::refuse(const HubRequest& request, const RequestOrigin& origin, const std::string& erro,
                     const char* outcome) {
  JournalEntry entry = entryFor(*request.function, request, origin);
  entry.erro = erro;
  if (!journal_->refuse(entry)) {
    logMessage("diário: " + journal_->lastError());
    activity_.journalFailure(nowMilliseconds());
  }
  metrics_.countExchange(request.function->name, outcome);
  activity_.record(request.function->name, Outcome::Unreachable, -1, nowMilliseconds());
  return errorReply(503, erro);
}

void Hub::exchange(const HubFunction& function, const HubRequest& request, const RequestOrigin& origin,
                   Exchange& out) {
  if (relink_.exchange(false)) link_->close();
  if (!link_->up() && !link_->connect()) {
    out.delivery = Delivery::Unreachable;
    out.entry.erro = link_->unreachable();  // here, on the thread that connected
    return;
  }
  out.entry = entryFor(function, request, origin);
  // Nothing reaches the device before the request is on disk, unless
  // carrying it out twice is harmless: a query is journalled once, with its
  // outcome, after the exchange (one synchronous commit instead of two).
  const bool recordAfter = function.repeatable;
  if (recordAfter) {
    out.entry.sessao = journal_->drawSession(request.caixa);
  } else if (!journal_->begin(out.entry)) {
    out.journalFailed = true;
    logMessage("diário: " + journal_->lastError());
    activity_.journalFailure(nowMilliseconds());
    return;
  }
  out.ran = true;
  const auto started = Clock::now();
  out.line = takeResult(function.call(out.entry.sessao, codigo_.c_str(), request.values));
  const double latency = std::chrono::duration<double>(Clock::now() - started).count();
  metrics_.observeLatency(latency);
  // The library's reason is the calling thread's until its next call: read
  // before judgeExchange reconnects.
  const std::string reason = out.line.empty() ? lastCallReason() : std::string();
  out.delivery = judgeExchange(out.line, *link_);
  if (out.delivery == Delivery::Unreachable)
    logMessage(link_->unreachable() + " após " + std::string(function.name) + " (" + reason + ")");
  out.entry.erro = out.line.empty() ? (out.delivery == Delivery::Unreachable ? link_->unreachable() : reason) : "";
  out.entry.estado = out.line.empty() ? estado::kSemResposta : estado::kRespondida;
  if (!out.line.empty()) out.entry.resposta = out.line;
  const bool kept = recordAfter ? journal_->record(out.entry)
                                : journal_->finish(out.entry.row, out.entry.estado, out.entry.resposta, out.entry.erro);
  if (!kept) {
    logMessage("diário: a resposta da sessão " + std::to_string(out.entry.sessao) +
               " não foi gravada: " + journal_->lastError());
    activity_.journalFailure(nowMilliseconds());
  }
  metrics_.countExchange(function.name, outcomeLabel(out.delivery));
  const Outcome outcome = out.delivery == Delivery::Answered ? outcomeOfLine(out.line)
                          : out.delivery == Delivery::Invalid ? Outcome::Invalid
                                                              : Outcome::Unreachable;
  activity_.record(function.name, outcome, latency, nowMilliseconds());
  if (outcome == Outcome::Answered && std::string(function.name) == "EnviarDadosVenda")
    activity_.saleAccepted(nowMilliseconds());
  afterAnswer(function, request, out.line);
}

void Hub::afterAnswer(const HubFunction& function, const HubRequest& request, const std::string& line) {
  if (std::string(function.path) != "trocarcodigodeativacao" || answerField(line, 1) != kCodigoTrocado)
    return;
  // The device now knows only the new code: the hub must keep it even if
  // the file cannot be written.
  codigo_ = request.values[0];
  std::string error;
  if (configPath_.empty()) return;
  if (rewriteActivationCode(configPath_, codigo_, &error))
    logMessage("novo código de ativação gravado em " + configPath_);
  else
    logMessage("ATENÇÃO: o código de ativação mudou no equipamento mas não foi gravado: " + error +
               "; corrija codigo_ativacao em " + configPath_ + " antes de reiniciar");
}

HubReply Hub::execute(const HubRequest& request, const RequestOrigin& origin, Clock::time_point deadline) {
  Exchange out;
  if (auto refused = queued(request, origin, deadline, [&] { exchange(*request.function, request, origin, out); }))
    return *refused;
  if (out.journalFailed) return errorReply(500, "diário indisponível: a requisição não foi enviada");
  if (!out.ran) return refuse(request, origin, out.entry.erro, "inacessivel");
  return answerReply(statusFor(out.delivery), request.function->name, out.line, out.entry.sessao,
                     out.entry.erro);
}

HubReply Hub::recover(const JournalEntry& original, const HubRequest& request, const RequestOrigin& origin,
                      Clock::time_point deadline) {
  // The queries are journalled under the checkout, without the id.
  auto ask = [&](const HubFunction& function, std::vector<std::string> values, Exchange& out) {
    HubRequest query;
    query.function = &function;
    query.caixa = request.caixa;
    query.values = std::move(values);
    return queued(request, origin, deadline, [&] { exchange(function, query, origin, out); });
  };
  const std::string unknown = "a resposta da sessão " + std::to_string(original.sessao) +
                              " não pôde ser obtida do equipamento; tente de novo";
  auto unreachable = [&](const Exchange& out) {
    return errorReply(503, out.entry.erro.empty() ? unknown : unknown + " (" + out.entry.erro + ")");
  };
  auto ownSession = [&](const std::string& line) {
    return std::atoi(answerField(line, 0).c_str()) == original.sessao;
  };

  Exchange out;
  if (auto refused = ask(consultarNumeroSessaoFunction(), {std::to_string(original.sessao)}, out)) return *refused;
  if (out.journalFailed) return errorReply(500, "diário indisponível");
  if (!out.ran || out.line.empty()) return unreachable(out);
  std::string line = out.line;

  // A device keeps only the session just before the query: any exchange
  // since (the hub's own status query after a restart, another checkout)
  // hides the lost one. A sale or cancellation the device registered is
  // still its last fiscal session, unless another was registered since.
  const bool fiscal = original.funcao == "EnviarDadosVenda" || original.funcao == "CancelarUltimaVenda";
  if (!ownSession(line) && fiscal) {
    Exchange last;
    if (auto refused = ask(*findFunction("consultarultimasessaofiscal"), {}, last)) return *refused;
    if (last.journalFailed) return errorReply(500, "diário indisponível");
    if (!last.ran || last.line.empty()) return unreachable(last);
    if (ownSession(last.line)) line = last.line;
  }

  // Session numbers come round again: the kept answer may be an older
  // request's.
  if (ownSession(line)) {
    const std::string mismatch =
        answerMismatch(request, line, journal_->answerBefore(original.caixa, original.sessao, original.row));
    if (mismatch.empty()) {
      journal_->finish(original.row, estado::kRespondida, line, "");
      metrics_.countExchange(original.funcao, "recuperada");
      if (original.funcao == "EnviarDadosVenda" && outcomeOfLine(line) == Outcome::Answered)
        activity_.saleAccepted(nowMilliseconds());
      return answerReply(200, original.funcao, line, original.sessao, "");
    }
    const std::string erro = "a requisição não foi registrada pelo equipamento (" + mismatch +
                             "); envie-a de novo com outro id_requisicao";
    journal_->finish(original.row, estado::kRespondida, std::nullopt, erro);
    metrics_.countExchange(original.funcao, "nao_recebida");
    return answerReply(200, original.funcao, "", original.sessao, erro);
  }
  if (answerField(out.line, 1) == kSessaoInexistente) {
    const std::string erro = "a requisição não chegou ao equipamento (sessão " +
                             std::to_string(original.sessao) + " desconhecida" +
                             (fiscal ? ", e a última sessão fiscal é outra" : "") +
                             "); envie-a de novo com outro id_requisicao";
    journal_->finish(original.row, estado::kRespondida, std::string(), erro);
    metrics_.countExchange(original.funcao, "nao_recebida");
    return answerReply(200, original.funcao, "", original.sessao, erro);
  }
  return errorReply(503, unknown);
}

HubReply Hub::health() const {
  HubReply reply;
  const bool up = linkUp();
  reply.status = up ? 200 : 503;
  reply.body = {{"equipamento", up ? "conectado" : "desconectado"},
                {"porta", link_ && !link_->port().empty() ? link_->port() : "descoberta USB"},
                {"fila", queue_ ? queue_->length() : 0}};
  return reply;
}

std::string Hub::metricsText() const {
  return metrics_.render(queue_ ? queue_->length() : 0, linkUp()) +
         healthMetricsText(healthReading(),
                           HubCounters{activity_.lastSale(), activity_.journalFailures(), activity_.refusedSales()},
                           nowMilliseconds());
}

HealthReading Hub::healthReading() const { return poller_ ? poller_->reading() : HealthReading(); }

std::vector<DeviceQueue::Entry> Hub::queueSnapshot() const {
  return queue_ ? queue_->snapshot() : std::vector<DeviceQueue::Entry>();
}

std::vector<JournalEntry> Hub::recentEntries(std::size_t limit, int caixa) const {
  if (!journal_) return {};
  return caixa < 0 ? journal_->recent(limit) : journal_->recentOf(limit, caixa);
}

}  // namespace tivaxhub
