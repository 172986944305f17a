// tivax-emulator: serves the fiscal device's line protocol on a
// pseudo-terminal until SIGINT or SIGTERM. Prints the terminal's path (one
// line on stdout) once it is ready.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "emulator.h"

namespace {

const char kUsage[] =
    "Usage: tivax-emulator [options]\n"
    "Serves the SAT-CF-e device protocol on a pseudo-terminal and prints the\n"
    "path of its terminal side. Stops on SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH      keep a symlink at PATH pointing at the terminal side;\n"
    "                   it follows the emulator to a new terminal after a hang-up\n"
    "  --codigo CODE    activation code (default 12345678)\n"
    "  --echo           echo every request line before its answer\n"
    "  --crlf           end every answer with CR LF\n"
    "  --split          send every answer in three pieces, 50 ms apart\n"
    "  --delay          answer every request 1.5 s late\n"
    "  --help           show this text\n"
    "\n"
    "Session numbers 9000000-9001399 pick a fault per request:\n"
    "  90000xx echo, 90001xx CR LF, 90002xx split, 90003xx delay,\n"
    "  90004xx silence, 90005xx hang-up mid-answer, 90006xx garbage,\n"
    "  90007xx 3 MiB answer, 90008xx answer for session + 1,\n"
    "  90009xx echo then silence, 90010xx echo and a 1.5 MiB answer,\n"
    "  90011xx answer held until the next request, 90012xx lone LF first,\n"
    "  90013xx lone CR LF first.\n";

const struct {
  const char* name;
  tivaxemu::Fault fault;
} kFaultFlags[] = {
    {"--echo", tivaxemu::kEcho},
    {"--crlf", tivaxemu::kCrLf},
    {"--split", tivaxemu::kSplit},
    {"--delay", tivaxemu::kDelay},
};

// Returns 0 to go on, or the exit status.
int parse(int argc, char** argv, tivaxemu::Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (arg == "--link" || arg == "--codigo") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tivax-emulator: %s needs a value\n", arg.c_str());
        return 2;
      }
      (arg == "--link" ? options.linkPath : options.activationCode) = argv[++i];
      continue;
    }
    bool known = false;
    for (const auto& flag : kFaultFlags)
      if (arg == flag.name) {
        options.faults |= flag.fault;
        known = true;
      }
    if (!known) {
      std::fprintf(stderr, "tivax-emulator: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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

  tivaxemu::Emulator emulator(options);
  std::string error;
  if (!emulator.start(&error)) {
    std::fprintf(stderr, "tivax-emulator: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", emulator.terminalPath().c_str());
  std::fflush(stdout);

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  emulator.stop();
  return 0;
}
