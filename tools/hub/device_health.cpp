// SPDX-License-Identifier: MIT
#include "device_health.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <vector>

#include "journal.h"

namespace tivaxhub {

namespace {

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t bar = line.find('|', start);
    fields.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) return fields;
    start = bar + 1;
  }
}

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::int64_t parseSize(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  const size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits || i - digits > 15) return -1;
  const std::int64_t value = std::atoll(text.substr(digits, i - digits).c_str());
  while (i < text.size() && text[i] == ' ') ++i;
  std::string unit;
  for (; i < text.size(); ++i) unit += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
  while (!unit.empty() && unit.back() == ' ') unit.pop_back();
  const std::pair<const char*, std::int64_t> units[] = {
      {"", 1}, {"B", 1}, {"KB", 1024}, {"MB", 1024 * 1024}, {"GB", 1024LL * 1024 * 1024}, {"TB", 1024LL << 30 << 10}};
  for (const auto& u : units)
    if (unit == u.first) return value * u.second;
  return -1;
}

std::optional<std::int64_t> deviceTime(const std::string& text) {
  if ((text.size() != 14 && text.size() != 8) || !allDigits(text)) return std::nullopt;
  auto part = [&](size_t at, size_t n) { return std::atoi(text.substr(at, n).c_str()); };
  const int year = part(0, 4), month = part(4, 2), day = part(6, 2);
  const int hour = text.size() == 14 ? part(8, 2) : 0, minute = text.size() == 14 ? part(10, 2) : 0,
            second = text.size() == 14 ? part(12, 2) : 0;
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
         minute * 60 + second - kDeviceUtcOffsetSeconds;
}

bool parseStatusLine(const std::string& line, DeviceStatus* status) {
  const std::vector<std::string> f = splitFields(line);
  // Five common fields, then the status's twenty-three.
  if (f.size() < 28 || f[1] != "10000") return false;
  DeviceStatus s;
  s.serie = f[5];
  s.tipoLan = f[6];
  s.ip = f[7];
  s.mac = f[8];
  s.statusLan = f[13];
  s.bateria = f[14];
  s.memoriaTotal = parseSize(f[15]);
  s.memoriaUsada = parseSize(f[16]);
  s.dataHora = f[17];
  s.firmware = f[18];
  s.layout = f[19];
  // A device that has issued nothing yet names the all-zero key.
  s.ultimoCfe = f[20].find_first_not_of("0CFe") == std::string::npos ? "" : f[20];
  if (!s.ultimoCfe.empty() && s.ultimoCfe.compare(0, 3, "CFe") != 0) s.ultimoCfe = "CFe" + s.ultimoCfe;
  s.ultimoCfeEm = f[23].find_first_not_of('0') == std::string::npos ? "" : f[23];
  s.certEmissao = f[25];
  s.certVencimento = f[26];
  s.estadoOperacao = allDigits(f[27]) && f[27].size() < 3 ? std::atoi(f[27].c_str()) : -1;
  *status = s;
  return true;
}

std::string operationState(int estado) {
  switch (estado) {
    case 0:
      return "desbloqueado";
    case 1:
      return "bloqueado pela SEFAZ";
    case 2:
      return "bloqueado pelo contribuinte";
    case 3:
      return "bloqueio autônomo (falta de comunicação com a SEFAZ)";
    case 4:
      return "bloqueado para desativação";
    default:
      return estado < 0 ? "desconhecido" : "bloqueado (código " + std::to_string(estado) + ")";
  }
}

double memoryShare(const DeviceStatus& status) {
  if (status.memoriaTotal <= 0 || status.memoriaUsada < 0) return -1;
  return static_cast<double>(status.memoriaUsada) / static_cast<double>(status.memoriaTotal);
}

int batteryLevel(const std::string& bateria) {
  if (bateria == "ALTO") return 2;
  if (bateria == "MEDIO" || bateria == "MÉDIO") return 1;
  if (bateria == "BAIXO") return 0;
  return -1;
}

std::optional<int> certificateDaysLeft(const DeviceStatus& status, std::int64_t nowMs) {
  const std::optional<std::int64_t> expires = deviceTime(status.certVencimento);
  if (!expires) return std::nullopt;
  const std::int64_t seconds = *expires - nowMs / 1000;
  return static_cast<int>(seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400));
}

std::string healthMetricsText(const HealthReading& reading, const HubCounters& counters, std::int64_t nowMs) {
  std::ostringstream out;
  out.precision(15);
  auto gauge = [&out](const char* name, const char* help, double value) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << " gauge\n" << name << ' ' << value << '\n';
  };
  out << "# HELP tivax_hub_diario_falhas_total Gravações do diário que falharam.\n"
         "# TYPE tivax_hub_diario_falhas_total counter\n"
         "tivax_hub_diario_falhas_total " << counters.journalFailures << '\n'
      << "# HELP tivax_hub_vendas_recusadas_total Vendas que o equipamento recusou.\n"
         "# TYPE tivax_hub_vendas_recusadas_total counter\n"
         "tivax_hub_vendas_recusadas_total " << counters.refusedSales << '\n';
  gauge("tivax_hub_status_ok", "1 quando a última consulta de status foi respondida.", reading.respondeu ? 1 : 0);
  if (counters.lastSaleMs > 0)
    gauge("tivax_hub_ultima_venda_timestamp_segundos", "Quando o equipamento aceitou a última venda.",
          static_cast<double>(counters.lastSaleMs / 1000));
  // The health gauges come from the last status answer, and go when there
  // was none: an absent gauge alerts through absent(), never a false value.
  if (reading.statusEm == 0) return out.str();
  const DeviceStatus& status = reading.status;
  gauge("tivax_hub_status_timestamp_segundos", "Quando veio a última resposta de status.",
        static_cast<double>(reading.statusEm / 1000));
  if (batteryLevel(status.bateria) >= 0)
    gauge("tivax_hub_bateria_nivel", "Nível da bateria: 2 alto, 1 médio, 0 baixo.", batteryLevel(status.bateria));
  if (memoryShare(status) >= 0)
    gauge("tivax_hub_memoria_uso_razao", "Memória usada do equipamento, fração do total.", memoryShare(status));
  if (const std::optional<int> days = certificateDaysLeft(status, nowMs))
    gauge("tivax_hub_certificado_dias_restantes", "Dias até o certificado do equipamento vencer.", *days);
  if (reading.relogioConhecido)
    gauge("tivax_hub_relogio_diferenca_segundos", "Relógio do equipamento menos o do hub.",
          reading.diferencaRelogio);
  if (status.estadoOperacao >= 0) {
    gauge("tivax_hub_bloqueado", "1 quando o equipamento está bloqueado.", status.estadoOperacao != 0 ? 1 : 0);
    gauge("tivax_hub_estado_operacao", "Estado de operação: 0 desbloqueado, 1 SEFAZ, 2 contribuinte, 3 autônomo, 4 desativação.",
          status.estadoOperacao);
  }
  return out.str();
}

StatusPoller::StatusPoller(Ask ask, double everySeconds) : ask_(std::move(ask)), every_(everySeconds) {}

StatusPoller::~StatusPoller() {
  requestStop();
  join();
}

void StatusPoller::start() { thread_ = std::thread([this] { run(); }); }

void StatusPoller::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

void StatusPoller::join() {
  if (thread_.joinable()) thread_.join();
}

HealthReading StatusPoller::reading() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reading_;
}

void StatusPoller::take(const std::string& line, const std::string& error, std::int64_t askedMs,
                        std::int64_t answeredMs) {
  DeviceStatus status;
  const bool parsed = parseStatusLine(line, &status);
  std::lock_guard<std::mutex> lock(mutex_);
  reading_.consultadoEm = answeredMs;
  reading_.respondeu = parsed;
  if (!parsed) {
    reading_.erro = !error.empty() ? error
                    : line.empty() ? "o equipamento não respondeu à consulta de status"
                                   : "resposta inesperada à consulta de status: " + line.substr(0, 120);
    return;
  }
  reading_.erro.clear();
  reading_.status = status;
  reading_.statusEm = answeredMs;
  // The device read its clock somewhere within the exchange: the midpoint
  // is the best guess, within half the exchange and the clock's second.
  const std::optional<std::int64_t> device = deviceTime(status.dataHora);
  reading_.relogioConhecido = device.has_value();
  if (device) reading_.diferencaRelogio = static_cast<double>(*device) - (askedMs + answeredMs) / 2000.0;
}

void StatusPoller::run() {
  const auto every = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(every_));
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    std::string error;
    const std::int64_t asked = nowMilliseconds();
    const std::string line = ask_(&error);
    take(line, error, asked, nowMilliseconds());
    lock.lock();
    wake_.wait_for(lock, every, [this] { return stopping_; });
  }
}

}  // namespace tivaxhub
