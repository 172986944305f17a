// SPDX-License-Identifier: MIT
#include "hub_app.h"

#include <signal.h>

#include <ctime>
#include <cstdio>
#include <thread>

#include "access.h"
#include "cfe_archive.h"
#include "config.h"
#include "http_server.h"
#include "hub.h"
#include "operations_log.h"
#include "tivax_version.h"

namespace tivaxhub {

namespace {

const char kUsage[] =
    "Uso: tivax-hub [--config ARQUIVO] [--emulador]\n"
    "     tivax-hub diario [--config ARQUIVO] [--json] [--limite N]\n"
    "     tivax-hub arquivo [--config ARQUIVO] --de AAAA-MM-DD --ate AAAA-MM-DD --para PASTA\n"
    "                       [--zip ARQUIVO]\n"
    "Compartilha um equipamento SAT entre vários caixas por HTTP.\n"
    "\n"
    "  --config ARQUIVO  configuração (padrão /etc/tivax/hub.conf; só o dono pode lê-la)\n"
    "  --emulador        usa um equipamento emulado neste processo, para testes\n"
    "  diario            lista as entradas recentes do diário\n"
    "    --json          em JSON\n"
    "    --limite N      quantas entradas (padrão 50)\n"
    "  arquivo           grava os CF-e do período (vendas e cancelamentos) e resumo.csv\n"
    "    --de, --ate     o período, pela data de cada CF-e, inclusive\n"
    "    --para PASTA    onde gravar (criada se não existir)\n"
    "    --zip ARQUIVO   grava também um zip com os mesmos arquivos\n"
    "  --help            mostra este texto\n"
    "  --version         mostra a versão\n"
    "\n"
    "Ao escutar, escreve o endereço na saída padrão (uma linha). Termina com\n"
    "SIGTERM ou SIGINT depois de concluir a troca em curso com o equipamento.\n"
    "Com --emulador, SIGUSR1 desliga e religa o equipamento emulado.\n"
    "Veja tivax-hub(8).\n";

struct Options {
  std::string config = kDefaultConfigPath;
  bool emulator = false;
  bool journal = false;
  bool archive = false;
  std::string de, ate, para, zip;
  bool json = false;
  long limit = 50;
};

// Returns -1 to go on, or the exit status.
int parse(const std::vector<std::string>& args, Options& options, std::ostream& out) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return kExitOk;
    }
    if (arg == "--version") {
      out << "tivax-hub " << TIVAX_VERSION << '\n';
      return kExitOk;
    }
    if (arg == "--de" || arg == "--ate" || arg == "--para" || arg == "--zip") {
      if (i + 1 >= args.size()) {
        logMessage(arg + " precisa de um valor");
        return kExitUsage;
      }
      std::string& target = arg == "--de" ? options.de : arg == "--ate" ? options.ate : arg == "--para" ? options.para : options.zip;
      target = args[++i];
    } else if (arg == "--config" || arg == "--limite") {
      if (i + 1 >= args.size()) {
        logMessage(arg + " precisa de um valor");
        return kExitUsage;
      }
      const std::string& value = args[++i];
      if (arg == "--config") {
        options.config = value;
      } else {
        char* end = nullptr;
        options.limit = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || options.limit < 1 || options.limit > 1000000) {
          logMessage("--limite deve ser um número de 1 a 1000000");
          return kExitUsage;
        }
      }
    } else if (arg == "--emulador") {
      options.emulator = true;
    } else if (arg == "diario" && !options.journal && !options.archive) {
      options.journal = true;
    } else if (arg == "arquivo" && !options.journal && !options.archive) {
      options.archive = true;
    } else if (arg == "--json") {
      options.json = true;
    } else {
      logMessage("opção desconhecida: " + arg + "\n" + kUsage);
      return kExitUsage;
    }
  }
  if ((options.journal || options.archive) && options.emulator) {
    logMessage(std::string("--emulador não se aplica a ") + (options.journal ? "diario" : "arquivo"));
    return kExitUsage;
  }
  const bool archiveOptions = !options.de.empty() || !options.ate.empty() || !options.para.empty() || !options.zip.empty();
  if (options.archive && (options.de.empty() || options.ate.empty() || options.para.empty())) {
    logMessage("arquivo precisa de --de, --ate e --para");
    return kExitUsage;
  }
  if (!options.archive && archiveOptions) {
    logMessage("--de, --ate, --para e --zip são de arquivo");
    return kExitUsage;
  }
  return -1;
}

std::string localTime(std::int64_t ms) {
  if (ms <= 0) return "";
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  char text[64];
  char zone[8];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::strftime(zone, sizeof zone, "%z", &parts);
  char whole[96];
  std::snprintf(whole, sizeof whole, "%s.%03d%s", text, static_cast<int>(ms % 1000), zone);
  return whole;
}

std::string resultCode(const JournalEntry& entry) {
  if (!entry.resposta || entry.resposta->empty()) return "";
  const std::string& line = *entry.resposta;
  const size_t first = line.find('|');
  return first == std::string::npos ? "" : line.substr(first + 1, line.find('|', first + 1) - first - 1);
}

int listJournal(const Options& options, std::ostream& out) {
  const HubConfig config = loadConfig(options.config);
  std::string error;
  std::unique_ptr<Journal> journal = Journal::open(config.diario, &error, true);
  if (!journal) {
    logMessage(error);
    return kExitFailure;
  }
  printJournal(journal->recent(static_cast<size_t>(options.limit)), options.json, out);
  return kExitOk;
}

int archive(const Options& options, std::ostream& out) {
  Period period;
  std::string error;
  if (!parsePeriod(options.de, options.ate, &period, &error)) {
    logMessage(error);
    return kExitUsage;
  }
  const HubConfig config = loadConfig(options.config);
  std::unique_ptr<Journal> journal = Journal::open(config.diario, &error, true);
  ArchiveSummary summary;
  if (!journal || !writeArchive(*journal, period, options.para, &summary, &error) ||
      (!options.zip.empty() && !zipFiles(options.para, summary.arquivos, options.zip, &error))) {
    logMessage(error);
    return kExitFailure;
  }
  out << summary.vendas << " venda(s) e " << summary.cancelamentos << " cancelamento(s) de " << options.de
      << " a " << options.ate << " em " << options.para << (options.zip.empty() ? "" : " e " + options.zip) << '\n';
  return kExitOk;
}

bool loopbackOnly(const std::string& address) {
  AccessPolicy loopback({}, "");
  return loopback.clientAllowed(address);
}

int serve(const Options& options, std::ostream& out) {
  // Taken synchronously below; blocked before any thread starts so that
  // every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigaddset(&stopSignals, SIGUSR1);  // --emulador: the device off and on
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const HubConfig config = loadConfig(options.config);
  // Wrong codes count toward the device's lock-out: the example's code
  // never reaches a real device.
  if (!options.emulator && config.codigoAtivacao == kExampleActivationCode)
    throw ConfigError("codigo_ativacao em " + options.config + " ainda é o do exemplo (" + kExampleActivationCode +
                      "): escreva ali o código de ativação do seu equipamento e inicie o hub de novo "
                      "(códigos errados contam para o bloqueio do equipamento)");
  Hub hub(config, options.config);
  std::string error;
  if (!hub.start(options.emulator, &error)) {
    logMessage(error);
    return kExitFailure;
  }
  HttpServer server(hub, config);
  int port = 0;
  if (!server.bind(&port, &error)) {
    logMessage(error);
    return kExitFailure;
  }
  std::thread serving([&server] { server.run(); });
  server.waitServing();
  const std::string host = config.escutarEndereco.find(':') == std::string::npos
                               ? config.escutarEndereco
                               : "[" + config.escutarEndereco + "]";
  const std::string address = host + ":" + std::to_string(port);
  logMessage("escutando em http://" + address + config.base);
  if (config.clientes.empty() && !loopbackOnly(config.escutarEndereco))
    logMessage("ATENÇÃO: sem clientes configurados só este computador é atendido");
  out << address << std::endl;

  int received = 0;
  while (true) {
    if (sigwait(&stopSignals, &received) != 0) continue;
    if (received != SIGUSR1) break;
    bool on = false;
    if (hub.switchEmulator(&on)) logMessage(on ? "emulador religado" : "emulador desligado (SIGUSR1 o religa)");
  }
  logMessage("encerrando (sinal " + std::to_string(received) + "): concluindo a troca em curso");
  hub.stopQueue();
  server.stop();
  serving.join();
  hub.stop();
  logMessage("encerrado");
  return kExitOk;
}

}  // namespace

void printJournal(const std::vector<JournalEntry>& entries, bool json, std::ostream& out) {
  if (json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const JournalEntry& e : entries) {
      nlohmann::ordered_json item = {{"linha", e.row},         {"instante", localTime(e.instante)},
                             {"caixa", e.caixa},       {"funcao", e.funcao},
                             {"cliente", e.cliente},   {"tamanho", e.tamanho},
                             {"estado", e.estado}};
      if (e.sessao) item["numero_sessao"] = e.sessao;
      if (!e.idRequisicao.empty()) item["id_requisicao"] = e.idRequisicao;
      if (e.resposta) item["resposta"] = *e.resposta;
      if (!e.erro.empty()) item["erro"] = e.erro;
      if (e.respondidaEm) item["respondida_em"] = localTime(e.respondidaEm);
      list.push_back(item);
    }
    out << jsonText(list) << '\n';
    return;
  }
  for (const JournalEntry& e : entries) {
    char session[16] = "-";
    if (e.sessao) std::snprintf(session, sizeof session, "%06d", e.sessao);
    out << localTime(e.instante) << "  caixa " << e.caixa << "  " << e.funcao << "  sessão " << session
        << "  " << e.cliente << "  " << e.tamanho << " B";
    if (!e.idRequisicao.empty()) out << "  id " << e.idRequisicao;
    out << "  " << e.estado;
    const std::string code = resultCode(e);
    if (!code.empty()) out << " " << code;
    if (!e.erro.empty()) out << "  (" << e.erro << ")";
    out << '\n';
  }
}

int runHubApp(const std::vector<std::string>& args, std::ostream& out) {
  Options options;
  const int parsed = parse(args, options, out);
  if (parsed >= 0) return parsed;
  try {
    if (options.archive) return archive(options, out);
    return options.journal ? listJournal(options, out) : serve(options, out);
  } catch (const ConfigError& error) {
    logMessage(error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    logMessage(error.what());
    return kExitFailure;
  }
}

}  // namespace tivaxhub
