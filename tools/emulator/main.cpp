// SPDX-License-Identifier: MIT
// tivax-emulator: serves the fiscal device's line protocol on a
// pseudo-terminal until SIGINT or SIGTERM. Prints the terminal's path (one
// line on stdout) once it is ready; with --verbose, each request and answer
// on stderr.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "control_socket.h"
#include "device_commands.h"
#include "emulator.h"
#include "traffic_log.h"
#include "tivax_version.h"

namespace {

const char kUsage[] =
    "Uso: tivax-emulator [opções]\n"
    "Serve o protocolo do equipamento SAT-CF-e num pseudoterminal e imprime o\n"
    "caminho do seu lado terminal. Para com SIGINT ou SIGTERM.\n"
    "\n"
    "  --link CAMINHO   mantém em CAMINHO um link simbólico para o lado terminal;\n"
    "                   ele acompanha o emulador quando um desligamento o leva\n"
    "                   a um terminal novo; um segundo emulador no mesmo\n"
    "                   CAMINHO é recusado enquanto o primeiro estiver rodando\n"
    "  --codigo CODIGO  código de ativação (padrão 12345678)\n"
    "  --echo           ecoa cada linha de pedido antes da resposta\n"
    "  --crlf           termina cada resposta com CR LF\n"
    "  --split          envia cada resposta em três pedaços, com 50 ms entre eles\n"
    "  --delay          responde a cada pedido com 1,5 s de atraso\n"
    "  --falha TIPO[:N] a falha TIPO nas próximas N chamadas (padrão 1); depois\n"
    "                   o SAT volta a responder normalmente. Repetível: as\n"
    "                   falhas se somam, cada uma com a sua contagem. Também\n"
    "                   com `controle --link CAMINHO falha TIPO[:N]`\n"
    "  --verbose        mostra na saída de erros cada pedido (\"<- \") e cada\n"
    "                   resposta (\"-> \"), uma linha cada, com os códigos de\n"
    "                   ativação e de emergência como ******** e os campos de\n"
    "                   mais de 256 bytes, o certificado e a assinatura encurtados\n"
    "  --version        mostra a versão\n"
    "  -h, --help       mostra esta ajuda\n"
    "\n"
    "Falhas (TIPO, e as sessões que também a escolhem, pedido a pedido):\n";

const char kUsageEnd[] =
    "\n";

const struct {
  const char* name;
  tivaxemu::Fault fault;
} kFaultFlags[] = {
    {"--echo", tivaxemu::kEcho},
    {"--crlf", tivaxemu::kCrLf},
    {"--split", tivaxemu::kSplit},
    {"--delay", tivaxemu::kDelay},
};

// One line on standard error per request and per answer, each written at
// once so that lines never mix.
void report(tivaxemu::Traffic traffic, const std::string& line, tivaxemu::Faults faults) {
  std::string text = traffic == tivaxemu::Traffic::Request ? "<- " + tivaxemu::reportedRequest(line)
                     : traffic == tivaxemu::Traffic::Answer ? "-> " + tivaxemu::reportedAnswer(line)
                                                             : "   " + line;
  text = tivaxemu::printable(text);
  const std::string faultText = tivaxemu::faultNames(faults);
  if (!faultText.empty()) text += "   [falha: " + faultText + "]";
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Returns 0 to go on, or the exit status.
int parse(int argc, char** argv, tivaxemu::Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      for (const tivaxemu::NamedFault& f : tivaxemu::kNamedFaults)
        std::printf("  %-13s %d-%d  %s\n", f.name, f.sessions,
                    f.sessions + tivaxemu::kFaultRangeSize - 1, f.words);
      std::fputs(kUsageEnd, stdout);
      std::fputs(tivaxemu::kDeviceUsage, stdout);
      return -1;
    }
    if (arg == "--version") {
      std::printf("tivax-emulator %s\n", TIVAX_VERSION);
      return -1;
    }
    if (arg == "--verbose") {
      options.observer = report;
      continue;
    }
    if (arg == "--falha") {
      tivaxemu::CountedFault counted;
      std::string error;
      if (i + 1 >= argc || !tivaxemu::parseCountedFault(argv[i + 1], counted, error)) {
        std::fprintf(stderr, "tivax-emulator: --falha: %s\n",
                     i + 1 >= argc ? "falta o TIPO[:N]" : error.c_str());
        return 2;
      }
      options.nextFaults.push_back(counted);
      ++i;
      continue;
    }
    if (arg == "--link" || arg == "--codigo") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tivax-emulator: a opção %s precisa de um valor\n", arg.c_str());
        return 2;
      }
      (arg == "--link" ? options.linkPath : options.activationCode) = argv[++i];
      continue;
    }
    const int device = tivaxemu::deviceOption(argc, argv, i, options);
    if (device < 0) return 2;
    if (device > 0) continue;
    bool known = false;
    for (const auto& flag : kFaultFlags)
      if (arg == flag.name) {
        options.faults |= flag.fault;
        known = true;
      }
    if (!known) {
      std::fprintf(stderr, "tivax-emulator: opção desconhecida: %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  return 0;
}

// The --link path belongs to one live emulator at a time: each takes an
// exclusive lock on "<link>.lock" for its whole run (the system drops it
// when the process ends, however it ends). A second emulator on the same
// link would take the link over and delete it on exit, under the first
// one's users: it is refused instead. Returns the lock's descriptor (kept
// open for the run), or -1 with the reason printed.
int claimLink(const std::string& link) {
  const std::string lockPath = link + ".lock";
  const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "tivax-emulator: não foi possível criar %s: %s\n", lockPath.c_str(),
                 std::strerror(errno));
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr,
                 "tivax-emulator: o link %s já é de outro emulador em execução; encerre-o ou "
                 "use outro --link\n",
                 link.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const int subcommand = tivaxemu::runSubcommand(argc, argv);
  if (subcommand >= 0) return subcommand;
  tivaxemu::Options options;
  const int parsed = parse(argc, argv, options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  // The signals are taken synchronously below; blocked before the serving
  // thread starts, so that it inherits the mask and never receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  int linkLock = -1;
  if (!options.linkPath.empty() && (linkLock = claimLink(options.linkPath)) < 0) return 1;

  tivaxemu::Emulator emulator(options);
  std::string error;
  if (!emulator.start(&error)) {
    std::fprintf(stderr, "tivax-emulator: não foi possível iniciar: %s\n", error.c_str());
    return 1;
  }
  // Changes from outside arrive on a socket beside the link.
  tivaxemu::ControlSocket control;
  if (!options.linkPath.empty() &&
      !control.start(tivaxemu::controlPathFor(options.linkPath),
                     [&emulator](const std::string& c, std::string& o) { return emulator.control(c, o); },
                     error))
    std::fprintf(stderr, "tivax-emulator: sem controle de fora: %s\n", error.c_str());
  std::printf("%s\n", emulator.terminalPath().c_str());
  std::fflush(stdout);

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  control.stop();
  emulator.stop();
  if (linkLock >= 0) {
    unlink((options.linkPath + ".lock").c_str());
    close(linkLock);
  }
  return 0;
}
