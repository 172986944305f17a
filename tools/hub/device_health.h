// SPDX-License-Identifier: MIT
// The device's health as its operational status tells it: the hub asks for
// it itself, through the queue like any checkout, every `consulta_status`
// seconds, and keeps the last answer for the page and for /metrics.
#ifndef TIVAX_HUB_DEVICE_HEALTH_H
#define TIVAX_HUB_DEVICE_HEALTH_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tivaxhub {

// The device's clock reads São Paulo's local time, which keeps UTC-3 all
// year: its readings are turned into instants with this offset.
constexpr std::int64_t kDeviceUtcOffsetSeconds = -3 * 3600;

// One operational status answer, decoded.
struct DeviceStatus {
  std::string serie;
  std::string tipoLan, ip, mac, statusLan;
  std::string bateria;  // ALTO, MEDIO, BAIXO as the device says it
  std::int64_t memoriaTotal = -1, memoriaUsada = -1;  // bytes; -1: unknown
  std::string dataHora;       // the device's clock, AAAAMMDDHHMMSS
  std::string firmware, layout;
  std::string ultimoCfe;      // "CFe" + 44 digits, or "" when none issued yet
  std::string ultimoCfeEm;    // AAAAMMDDHHMMSS
  std::string certEmissao, certVencimento;  // AAAAMMDD
  int estadoOperacao = -1;    // 0 unblocked, 1..4 blocked (see blockReason)
};

// The status answer line (sessão|10000|mensagem|cod|mensagemSEFAZ|fields...):
// false when it is not a successful status answer.
bool parseStatusLine(const std::string& line, DeviceStatus* status);

// "AAAAMMDDHHMMSS" of the device's clock (or "AAAAMMDD", at midnight) as
// seconds since the epoch; nullopt when it is not a date.
std::optional<std::int64_t> deviceTime(const std::string& text);

// What the operation state means, for a person ("desbloqueado", ...).
std::string operationState(int estado);
// Memory used as a share of the total (0..1), or -1 when unknown.
double memoryShare(const DeviceStatus& status);
// Battery level as a number: 2 high, 1 medium, 0 low, -1 unknown.
int batteryLevel(const std::string& bateria);
// Sizes as the device writes them: "4 GB", "512 KB", "1024" (bytes).
std::int64_t parseSize(const std::string& text);

// Whole days from `nowMs` until the certificate expires (negative once
// expired); nullopt when the device gave no date.
std::optional<int> certificateDaysLeft(const DeviceStatus& status, std::int64_t nowMs);

// The last health reading and how it came.
struct HealthReading {
  std::int64_t consultadoEm = 0;  // ms since the epoch; 0: never asked
  bool respondeu = false;         // the device gave a status answer
  std::string erro;               // why not, when it did not
  DeviceStatus status;            // the last good answer (kept across failures)
  std::int64_t statusEm = 0;      // when that answer came (ms)
  double diferencaRelogio = 0;    // device clock minus the hub's, seconds
  bool relogioConhecido = false;
};

// The device's health in the Prometheus text format, for /metrics.
struct HubCounters {
  std::int64_t lastSaleMs = 0;  // 0: none
  std::uint64_t journalFailures = 0;
  std::uint64_t refusedSales = 0;
};
std::string healthMetricsText(const HealthReading& reading, const HubCounters& counters, std::int64_t nowMs);

// Asks `ask` for a status line every `everySeconds` on a thread of its
// own; `ask` returns the answer line, or "" with the reason in *error.
class StatusPoller {
 public:
  using Ask = std::function<std::string(std::string* error)>;
  StatusPoller(Ask ask, double everySeconds);
  ~StatusPoller();
  StatusPoller(const StatusPoller&) = delete;
  StatusPoller& operator=(const StatusPoller&) = delete;

  void start();
  // Ends the wait between queries; a query under way still ends (the
  // queue's stop withdraws it). join() then waits for the thread.
  void requestStop();
  void join();

  HealthReading reading() const;
  // Records one answer (the thread does this; tests call it directly).
  void take(const std::string& line, const std::string& error, std::int64_t askedMs,
            std::int64_t answeredMs);

 private:
  void run();
  Ask ask_;
  double every_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  HealthReading reading_;
  std::thread thread_;
};

}  // namespace tivaxhub

#endif
