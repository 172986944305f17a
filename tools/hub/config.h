// SPDX-License-Identifier: MIT
// The hub's configuration: a "key = value" file that also holds the
// activation code, so it must be readable by the hub's user alone.
#ifndef TIVAX_HUB_CONFIG_H
#define TIVAX_HUB_CONFIG_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tivaxhub {

constexpr char kDefaultConfigPath[] = "/etc/tivax/hub.conf";
// The activation code written in the example configuration, a placeholder.
constexpr char kExampleActivationCode[] = "12345678";

struct HubConfig {
  std::string porta;  // empty: USB discovery
  std::string codigoAtivacao;
  std::string escutarEndereco = "127.0.0.1";
  int escutarPorta = 8088;  // 0: any free port (tests, demonstration)
  std::string diario = "/var/lib/tivax-hub/diario.db";
  bool administrativas = false;
  // Client networks in CIDR form; empty: the loopback networks only.
  std::vector<std::string> clientes;
  std::string token;  // empty: no token asked
  // Seconds a request may wait in the queue, and every wait for the device.
  double prazo = 60;
  std::string prazoTexto = "60";
  std::string base = "/hub/v1";
  // Journal rotation: entries older than this many days go (0: never), and
  // the oldest go while the file is larger than this many MiB (0: no limit).
  int diarioDias = 90;
  std::int64_t diarioMegabytes = 256;
  // Open HTTP connections, in all and from one client address; more are
  // closed as soon as they are accepted.
  int conexoes = 512;
  int conexoesPorCliente = 64;
  // Seconds from a request's first byte (or the previous answer on the
  // connection) to its last; an idle connection is closed after as long.
  double prazoRequisicao = 30;
  // The library's trace of each exchange (its TIVAX_LOG): "stderr", a file,
  // or empty for none (an environment's TIVAX_LOG then stands).
  std::string log;
  // Seconds between the hub's own queries of the device's operational
  // status, for the page and /metrics (0: never).
  int consultaStatus = 60;
  // Days the journal keeps the device's answers to sales and cancellations
  // (the CF-e themselves), whatever diario_dias and diario_max_mb say:
  // taxpayers must keep every CF-e for five years.
  int arquivoDias = 1827;
};

// A configuration that cannot be used; the message is for the operator.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the file's text. Throws ConfigError naming the line at fault.
HubConfig parseConfig(const std::string& text);

// Reads and parses the file, after checking that neither its group nor
// other users may read or write it. Throws ConfigError.
HubConfig loadConfig(const std::string& path);

// Replaces the activation code in the file, keeping every other line, by
// writing a new file beside it (mode 0600) and renaming it over the old
// one. False, with the reason in *error, when that fails.
bool rewriteActivationCode(const std::string& path, const std::string& code, std::string* error);

// A text that may go to the device as one field: not empty, no "|", no
// control characters.
bool isFieldText(const std::string& text);

}  // namespace tivaxhub

#endif
