// SPDX-License-Identifier: MIT
#include "device_commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "control_socket.h"
#include "device_state.h"
#include "request_line.h"

namespace tivaxemu {

const char kDeviceUsage[] =
    "Equipamento:\n"
    "  --estado ARQUIVO   guarda o estado do SAT em ARQUIVO (JSON); um arquivo que\n"
    "                     não existe é um SAT novo, não ativado. Sem esta opção: um\n"
    "                     SAT de teste já ativado, que aceita qualquer contribuinte\n"
    "  --tentativas N     códigos de ativação errados seguidos até o bloqueio\n"
    "                     (padrão 3 com --estado; sem --estado, nunca)\n"
    "  --codigo-emergencia CODIGO  código de emergência (padrão 87654321)\n"
    "Mudanças de fora (também com `controle` num emulador em execução):\n"
    "  --bloqueio-sefaz   SAT bloqueado pela SEFAZ\n"
    "  --bloqueio-autonomo  SAT bloqueado por falta de comunicação\n"
    "  --atualizacao-pendente  atualização de software pendente\n"
    "  --ocupado N        as próximas N chamadas respondem xx098\n"
    "  --relogio MINUTOS  relógio do SAT MINUTOS à frente (negativo: atrás)\n"
    "\n"
    "Subcomandos:\n"
    "  tivax-emulator estado --estado ARQUIVO       mostra o estado (códigos ocultos)\n"
    "  tivax-emulator certificado --estado ARQUIVO  mostra o certificado (PEM)\n"
    "  tivax-emulator controle --link CAMINHO COMANDO\n"
    "      COMANDO: bloqueio-sefaz on|off, bloqueio-autonomo on|off,\n"
    "      atualizacao-pendente on|off, ocupado N, relogio MINUTOS\n";

namespace {

bool valueOf(int argc, char** argv, int& i, std::string& value) {
  if (i + 1 >= argc) {
    std::fprintf(stderr, "tivax-emulator: a opção %s precisa de um valor\n", argv[i]);
    return false;
  }
  value = argv[++i];
  return true;
}

bool number(const std::string& text, int& n) {
  const bool negative = !text.empty() && text[0] == '-';
  if (!parseInt(negative ? text.substr(1) : text, n)) return false;
  if (negative) n = -n;
  return true;
}

// `--estado ARQUIVO` after the subcommand's name, read into a state: 0,
// or the exit status (2 for a usage error, 1 for a file that cannot be
// read).
int stateArgument(int argc, char** argv, DeviceState& state) {
  if (argc != 4 || std::strcmp(argv[2], "--estado") != 0) {
    std::fprintf(stderr, "Uso: tivax-emulator %s --estado ARQUIVO\n", argv[1]);
    return 2;
  }
  std::string error;
  if (std::FILE* f = std::fopen(argv[3], "r")) {
    std::fclose(f);
  } else {
    std::fprintf(stderr, "tivax-emulator: %s: arquivo de estado não existe\n", argv[3]);
    return 1;
  }
  if (!loadState(argv[3], state, error)) {
    std::fprintf(stderr, "tivax-emulator: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int deviceOption(int argc, char** argv, int& i, Options& options) {
  const std::string arg = argv[i];
  const struct {
    const char* option;
    const char* change;
  } switches[] = {{"--bloqueio-sefaz", "bloqueio-sefaz on"},
                  {"--bloqueio-autonomo", "bloqueio-autonomo on"},
                  {"--atualizacao-pendente", "atualizacao-pendente on"}};
  for (const auto& s : switches)
    if (arg == s.option) {
      options.outsideChanges.push_back(s.change);
      return 1;
    }
  std::string value;
  if (arg == "--estado" || arg == "--codigo-emergencia") {
    if (!valueOf(argc, argv, i, value)) return -1;
    (arg == "--estado" ? options.statePath : options.emergencyCode) = value;
    return 1;
  }
  if (arg == "--tentativas" || arg == "--ocupado" || arg == "--relogio") {
    int n = 0;
    if (!valueOf(argc, argv, i, value)) return -1;
    if (!number(value, n) || (arg != "--relogio" && n < 1)) {
      std::fprintf(stderr, "tivax-emulator: valor inválido para %s: %s\n", arg.c_str(),
                   value.c_str());
      return -1;
    }
    if (arg == "--tentativas")
      options.maxWrongCodes = n;
    else
      options.outsideChanges.push_back(arg.substr(2) + " " + value);
    return 1;
  }
  return 0;
}

int runSubcommand(int argc, char** argv) {
  if (argc < 2) return -1;
  const std::string command = argv[1];
  if (command == "estado" || command == "certificado") {
    DeviceState state;
    const int status = stateArgument(argc, argv, state);
    if (status != 0) return status;
    const std::string text =
        command == "estado" ? stateJson(state, true) + "\n" : state.key.certificatePem;
    if (text.empty()) {
      std::fprintf(stderr, "tivax-emulator: o SAT ainda não tem certificado\n");
      return 1;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if (command == "controle") {
    if (argc < 5 || std::strcmp(argv[2], "--link") != 0) {
      std::fprintf(stderr, "Uso: tivax-emulator controle --link CAMINHO COMANDO [VALOR]\n");
      return 2;
    }
    std::string line;
    for (int i = 4; i < argc; ++i) line += (i > 4 ? " " : "") + std::string(argv[i]);
    std::string answer;
    if (!sendControl(argv[3], line, answer)) {
      std::fprintf(stderr, "tivax-emulator: %s\n", answer.c_str());
      return 1;
    }
    std::printf("%s\n", answer.c_str());
    return answer.compare(0, 3, "ok:") == 0 ? 0 : 1;
  }
  return -1;
}

}  // namespace tivaxemu
