#include "cli_app.h"

#include <stdlib.h>

#include <exception>

#include "answer_output.h"
#include "command_line.h"
#include "device_session.h"
#include "help_text.h"
#include "tivax_version.h"

namespace tivaxcli {

namespace {

// The subcommand a line names, if any, for pointing a usage error at its help.
const Subcommand* namedSubcommand(const std::vector<std::string>& args) {
  for (const std::string& word : args)
    if (const Subcommand* subcommand = findSubcommand(word)) return subcommand;
  return nullptr;
}

int runSubcommand(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const Subcommand& subcommand = *line.subcommand;
  // The library reads it when it first needs it, and reports a value it
  // cannot read.
  if (line.timeout) setenv("TIVAX_TIMEOUT", line.timeout->c_str(), 1);
  DeviceSession device;
  if (subcommand.needsDevice) {
    std::string reason;
    if (!device.connect(line.port, line.portPath, &reason)) {
      if (!reason.empty()) err << "tivax: " << reason << '\n';
      return kInvalidResult;
    }
  }
  const int sessao = line.sessao ? *line.sessao : device.drawSessionNumber();
  const Answer answer = subcommand.call(Invocation{sessao, line.values});
  if (!answer.valid && subcommand.layout != AnswerLayout::Flag) {
    err << "tivax: resultado inválido: o equipamento não respondeu, recusou o pedido ou deu uma resposta "
           "que não corresponde a ele (sessão "
        << sessao << ")\n";
    return kInvalidResult;
  }
  printAnswer(out, line.format, answer.text, nameFields(subcommand.layout, answer.text, subcommand.flagName));
  return answer.valid ? kValidAnswer : kInvalidResult;
}

}  // namespace

int runCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  CommandLine line;
  try {
    line = parseCommandLine(args, in);
  } catch (const UsageError& error) {
    err << "tivax: " << error.what() << '\n' << usageHint(namedSubcommand(args));
    return kBadUsage;
  }
  if (line.help) {
    out << (line.subcommand ? subcommandHelp(*line.subcommand) : toolHelp());
    return kValidAnswer;
  }
  if (line.version) {
    out << "tivax " << TIVAX_VERSION << '\n';
    return kValidAnswer;
  }
  try {
    return runSubcommand(line, out, err);
  } catch (const std::exception& error) {
    err << "tivax: " << error.what() << '\n';
    return kInvalidResult;
  }
}

}  // namespace tivaxcli
