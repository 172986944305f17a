// SPDX-License-Identifier: MIT
#include "panel.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cfe_archive.h"
#include "hub.h"
#include "journal.h"

namespace tivaxhub {

namespace {

const char kJson[] = "application/json; charset=utf-8";
const std::size_t kJournalRows = 50;

PanelReply jsonReply(int status, const nlohmann::ordered_json& body) {
  PanelReply reply;
  reply.status = status;
  reply.contentType = kJson;
  reply.body = jsonText(body);
  reply.headers = {{"Cache-Control", "no-store"}};
  return reply;
}

PanelReply errorReply(int status, const std::string& erro) { return jsonReply(status, {{"erro", erro}}); }

const std::string* queryValue(const Query& query, const std::string& name) {
  const auto found = query.find(name);
  return found == query.end() ? nullptr : &found->second;
}

nlohmann::ordered_json orNull(double value, double scale = 1) {
  if (value < 0) return nullptr;
  return std::round(value * scale * 10) / 10 + 0.0;
}

std::string isoDate(const std::string& compact) {
  if (compact.size() < 8) return compact;
  return compact.substr(0, 4) + "-" + compact.substr(4, 2) + "-" + compact.substr(6, 2);
}

nlohmann::ordered_json healthJson(const HealthReading& reading, std::int64_t nowMs) {
  nlohmann::ordered_json saude = {{"consultado_em", reading.consultadoEm},
                                  {"respondeu", reading.respondeu},
                                  {"erro", reading.erro},
                                  {"resposta_em", reading.statusEm}};
  if (reading.statusEm == 0) {
    saude["status"] = nullptr;
    return saude;
  }
  const DeviceStatus& s = reading.status;
  const std::optional<int> days = certificateDaysLeft(s, nowMs);
  saude["status"] = {
      {"numero_serie", s.serie},
      {"estado", {{"codigo", s.estadoOperacao}, {"bloqueado", s.estadoOperacao != 0}, {"texto", operationState(s.estadoOperacao)}}},
      {"firmware", s.firmware},
      {"layout", s.layout},
      {"bateria", s.bateria},
      {"memoria",
       {{"total_bytes", s.memoriaTotal}, {"usada_bytes", s.memoriaUsada}, {"uso", orNull(memoryShare(s), 100)}}},
      {"ultimo_cfe", s.ultimoCfe},
      {"certificado",
       {{"vencimento", isoDate(s.certVencimento)}, {"dias_restantes", days ? nlohmann::ordered_json(*days) : nullptr}}},
      {"relogio",
       {{"equipamento", s.dataHora},
        {"diferenca_segundos",
         reading.relogioConhecido ? nlohmann::ordered_json(std::round(reading.diferencaRelogio) + 0.0) : nullptr}}},
      {"rede", {{"tipo", s.tipoLan}, {"ip", s.ip}, {"situacao", s.statusLan}}}};
  return saude;
}

nlohmann::ordered_json entryJson(const JournalEntry& e) {
  nlohmann::ordered_json item = {{"linha", e.row},
                                 {"instante", e.instante},
                                 {"caixa", e.caixa},
                                 {"funcao", e.funcao},
                                 {"sessao", e.sessao},
                                 {"estado", e.estado},
                                 {"codigo", nullptr},
                                 {"duracao_ms", e.respondidaEm > 0 ? nlohmann::ordered_json(e.respondidaEm - e.instante)
                                                                   : nullptr},
                                 {"id_requisicao", e.idRequisicao},
                                 {"erro", e.erro}};
  if (e.resposta) {
    const std::string code = answerField(*e.resposta, 1);
    if (!code.empty()) item["codigo"] = code;
    FiscalAnswer fiscal;
    std::string xml;
    if (parseFiscalAnswer(*e.resposta, &fiscal)) {
      nlohmann::ordered_json venda = {{"chave", "CFe" + fiscal.chave},
                                      {"total", fiscal.total},
                                      {"cancelamento", fiscal.cancelamento},
                                      {"itens", nullptr}};
      if (decodeBase64(fiscal.base64, &xml)) venda["itens"] = itemCount(xml);
      item["venda"] = venda;
    }
  }
  return item;
}

nlohmann::ordered_json alertsJson(Hub& hub, const HealthReading& reading, bool linkUp, std::int64_t nowMs) {
  nlohmann::ordered_json alerts = nlohmann::ordered_json::array();
  auto add = [&](const char* nivel, const char* codigo, const std::string& texto) {
    alerts.push_back({{"nivel", nivel}, {"codigo", codigo}, {"texto", texto}});
  };
  if (!linkUp) {
    // The reason usually begins with "equipamento inacessível" already.
    std::string texto = reading.erro.compare(0, std::strlen(kUnreachable), kUnreachable) == 0
                            ? reading.erro
                            : std::string(kUnreachable) + (reading.erro.empty() ? "" : ": " + reading.erro);
    texto[0] = 'E';
    add("critico", "inacessivel", texto);
  }
  else if (reading.consultadoEm > 0 && !reading.respondeu)
    add("aviso", "sem_status", "O equipamento não respondeu à consulta de status: " + reading.erro);
  if (reading.statusEm > 0) {
    const DeviceStatus& s = reading.status;
    if (s.estadoOperacao > 0) add("critico", "bloqueado", "Equipamento " + operationState(s.estadoOperacao));
    const std::optional<int> days = certificateDaysLeft(s, nowMs);
    if (days && *days < 0)
      add("critico", "certificado", "Certificado do equipamento vencido em " + isoDate(s.certVencimento));
    else if (days && *days <= 30)
      add("aviso", "certificado",
          "Certificado do equipamento vence em " + std::to_string(*days) + " dias (" + isoDate(s.certVencimento) + ")");
    const double share = memoryShare(s);
    if (share > 0.8)
      add("aviso", "memoria", "Memória do equipamento " + std::to_string(static_cast<int>(share * 100)) + "% usada");
    if (reading.relogioConhecido && std::fabs(reading.diferencaRelogio) > 300)
      add("aviso", "relogio",
          "Relógio do equipamento " + std::to_string(static_cast<long>(std::lround(reading.diferencaRelogio / 60))) +
              " min diferente do relógio do hub");
  }
  const std::uint64_t journalFailures = hub.activity().journalFailuresLastHour(nowMs);
  if (journalFailures > 0)
    add("critico", "diario", std::to_string(journalFailures) + " falha(s) ao gravar o diário na última hora");
  const std::uint64_t refused = hub.activity().refusedSalesLastHour(nowMs);
  if (refused > 0) add("aviso", "vendas_recusadas", std::to_string(refused) + " venda(s) recusada(s) na última hora");
  return alerts;
}

nlohmann::ordered_json chartsJson(const Activity& activity, std::int64_t nowMs) {
  nlohmann::ordered_json minutes = nlohmann::ordered_json::array();
  for (const Activity::Minute& m : activity.lastHour(nowMs))
    minutes.push_back({{"inicio", m.inicio},
                       {"respondidas", m.outcomes[0]},
                       {"recusadas", m.outcomes[1]},
                       {"invalidas", m.outcomes[2]},
                       {"inacessiveis", m.outcomes[3]},
                       {"mediana_ms", orNull(m.mediana, 1000)},
                       {"p95_ms", orNull(m.p95, 1000)}});
  return minutes;
}

}  // namespace

nlohmann::ordered_json estadoJson(Hub& hub, int caixa, std::int64_t nowMs) {
  const HealthReading reading = hub.healthReading();
  const bool up = hub.linkUp();
  const HubConfig& config = hub.config();
  nlohmann::ordered_json fila = {{"em_curso", nullptr}, {"esperando", nlohmann::ordered_json::array()}};
  const auto steadyNow = DeviceQueue::Clock::now();
  for (const DeviceQueue::Entry& e : hub.queueSnapshot()) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(steadyNow - e.since).count();
    nlohmann::ordered_json item = {{"caixa", e.caixa}, {"funcao", e.label}, {"desde", nowMs - waited}};
    if (e.running)
      fila["em_curso"] = item;
    else
      fila["esperando"].push_back(item);
  }
  nlohmann::ordered_json diario = nlohmann::ordered_json::array();
  for (const JournalEntry& e : hub.recentEntries(kJournalRows, caixa)) diario.push_back(entryJson(e));
  return {{"agora", nowMs},
          {"consulta_status", config.consultaStatus},
          {"alertas", alertsJson(hub, reading, up, nowMs)},
          {"equipamento",
           {{"conectado", up},
            {"porta", hub.health().body.value("porta", std::string())},
            {"motivo", up ? std::string() : reading.erro}}},
          {"saude", healthJson(reading, nowMs)},
          {"fila", fila},
          {"diario", diario},
          {"minutos", chartsJson(hub.activity(), nowMs)}};
}

bool Panel::isPagePath(const std::string& path) {
  return path == "/" || path == "/painel" || path.compare(0, 8, "/painel/") == 0;
}

PanelReply Panel::page(const std::string& path, const std::string& base) {
  const std::string name = path == "/" || path == "/painel" ? "painel.html" : path.substr(8);
  for (std::size_t i = 0; i < kPanelAssetCount; ++i) {
    const PanelAsset& asset = kPanelAssets[i];
    if (name != asset.name) continue;
    PanelReply reply;
    const std::string extension = name.substr(name.rfind('.') + 1);
    reply.contentType = extension == "html"  ? "text/html; charset=utf-8"
                        : extension == "css" ? "text/css; charset=utf-8"
                                             : "text/javascript; charset=utf-8";
    reply.body.assign(reinterpret_cast<const char*>(asset.data), asset.size);
    const size_t slot = reply.body.find("{{BASE}}");
    if (extension == "html" && slot != std::string::npos) {
      std::string escaped;
      for (char c : base) {
        if (c == '&') escaped += "&amp;";
        else if (c == '"') escaped += "&quot;";
        else if (c == '<') escaped += "&lt;";
        else if (c == '>') escaped += "&gt;";
        else escaped += c;
      }
      reply.body.replace(slot, 8, escaped);
    }
    // Everything comes from the hub itself; nothing runs that it did not send.
    reply.headers = {{"Content-Security-Policy",
                      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                      "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Referrer-Policy", "no-referrer"},
                     {"Cache-Control", "no-cache"}};
    return reply;
  }
  PanelReply missing = errorReply(404, "caminho desconhecido");
  return missing;
}

PanelReply Panel::estado(const Query& query) const {
  int caixa = -1;
  if (const std::string* value = queryValue(query, "caixa")) {
    char* end = nullptr;
    const long number = std::strtol(value->c_str(), &end, 10);
    if (value->empty() || *end != '\0' || number < 0 || number > kMaxCheckout)
      return errorReply(400, "caixa deve ser um número inteiro de 0 a 999");
    caixa = static_cast<int>(number);
  }
  return jsonReply(200, estadoJson(hub_, caixa, nowMilliseconds()));
}

PanelReply Panel::arquivo(const Query& query) const {
  const std::string* de = queryValue(query, "de");
  const std::string* ate = queryValue(query, "ate");
  if (!de || !ate) return errorReply(400, "informe de=AAAA-MM-DD e ate=AAAA-MM-DD");
  Period period;
  std::string error;
  if (!parsePeriod(*de, *ate, &period, &error)) return errorReply(400, error);
  // Read through a connection of its own: a month of documents must not
  // hold the journal from the checkouts' requests meanwhile.
  std::unique_ptr<Journal> journal = Journal::open(hub_.config().diario, &error, true);
  if (!journal) return errorReply(500, error);
  std::error_code noTemp;
  std::string folderTemplate = (std::filesystem::temp_directory_path(noTemp) / "tivax-hub-arquivo-XXXXXX").string();
  const char* work = ::mkdtemp(folderTemplate.data());
  if (!work) return errorReply(500, std::string("não foi possível criar uma pasta temporária: ") + std::strerror(errno));
  const std::string folder = std::string(work) + "/cfe";
  const std::string zipPath = std::string(work) + "/arquivo.zip";
  ArchiveSummary summary;
  PanelReply reply;
  if (!writeArchive(*journal, period, folder, &summary, &error) || !zipFiles(folder, summary.arquivos, zipPath, &error)) {
    reply = errorReply(500, error);
  } else {
    std::ifstream in(zipPath, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    reply.contentType = "application/zip";
    reply.body = bytes.str();
    reply.headers = {{"Content-Disposition", "attachment; filename=\"cfe-" + *de + "-a-" + *ate + ".zip\""},
                     {"Cache-Control", "no-store"}};
  }
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  return reply;
}

}  // namespace tivaxhub
