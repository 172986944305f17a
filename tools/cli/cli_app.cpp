// SPDX-License-Identifier: MIT
#include "cli_app.h"

#include <stdlib.h>

#include <exception>

#include "answer_output.h"
#include "command_line.h"
#include "device_session.h"
#include "help_text.h"
#include "result_codes.h"
#include "tivax_version.h"

namespace tivaxcli {

namespace {

// The subcommand a line names, if any, for pointing a usage error at its help.
const Subcommand* namedSubcommand(const std::vector<std::string>& args) {
  for (const std::string& word : args)
    if (const Subcommand* subcommand = findSubcommand(word)) return subcommand;
  return nullptr;
}

// The format asked for, as far as a line that could not be parsed tells it.
OutputFormat askedFormat(const std::vector<std::string>& args) {
  for (const std::string& word : args)
    if (word == "--json") return OutputFormat::Json;
  return OutputFormat::Line;
}

// A failure without an answer: the reason on standard error, and on
// standard output what the format asks for.
int fail(int status, const std::string& reason, OutputFormat format, std::ostream& out, std::ostream& err) {
  err << "tivax: " << reason << '\n';
  printFailure(out, format, reason);
  return status;
}

// The result code (EEEEE) of an answer line, or -1.
int resultCode(const std::string& line) {
  const std::vector<std::string> fields = splitAnswer(line);
  if (fields.size() < 2 || fields[1].size() != 5 ||
      fields[1].find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoi(fields[1]);
}

// 0 when the device answered with the function's success code. A session
// query answers with another session's stored line: that line's own code
// decides, so a replayed refusal, or a session the device does not know,
// is not a success either.
int answerStatus(const Subcommand& subcommand, const std::string& line) {
  const int code = resultCode(line);
  const bool success = subcommand.layout == AnswerLayout::SessionQuery
                           ? tivaxemu::isSuccessCode(code)
                           : code == tivaxemu::successCode(subcommand.functionNumber);
  return success ? kSuccess : kRefused;
}

// The reason an invalid result is given with: the library's, or, from a
// library that gives none, what an invalid result may mean.
std::string invalidResult(int sessao, const std::string& reason) {
  const std::string session = "sessão " + std::to_string(sessao);
  if (reason.empty())
    return "resultado inválido: o equipamento não respondeu, recusou o pedido ou deu uma resposta "
           "que não corresponde a ele (" + session + ")";
  return "resultado inválido (" + session + "): " + reason;
}

int runSubcommand(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const Subcommand& subcommand = *line.subcommand;
  // The library reads both when it first needs them, so they are set before
  // its first call; it reports a timeout it cannot read.
  if (line.timeout) setenv("TIVAX_TIMEOUT", line.timeout->c_str(), 1);
  if (line.trace) setenv("TIVAX_LOG", "stderr", 1);
  DeviceSession device;
  if (subcommand.needsDevice) {
    std::string reason;
    if (!device.connect(line.port, line.portPath, &reason)) {
      if (reason.empty()) reason = "não foi possível abrir a porta do equipamento";
      return fail(kInvalidResult, reason, line.format, out, err);
    }
  }
  const int sessao = line.sessao ? *line.sessao : device.drawSessionNumber();
  const Answer answer = subcommand.call(Invocation{sessao, line.values});
  if (subcommand.layout == AnswerLayout::Flag) {
    std::vector<NamedField> fields = nameFields(subcommand.layout, answer.text, subcommand.flagName);
    if (!answer.reason.empty()) {
      err << "tivax: " << answer.reason << '\n';
      if (line.format == OutputFormat::Json) fields.emplace_back("erro", answer.reason);
    }
    printAnswer(out, line.format, answer.text, fields);
    return answer.valid ? kSuccess : kInvalidResult;
  }
  if (!answer.valid) return fail(kInvalidResult, invalidResult(sessao, answer.reason), line.format, out, err);
  printAnswer(out, line.format, answer.text, nameFields(subcommand.layout, answer.text, subcommand.flagName));
  return answerStatus(subcommand, answer.text);
}

}  // namespace

int runCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  CommandLine line;
  try {
    line = parseCommandLine(args, in);
  } catch (const UsageError& error) {
    const int status = fail(kBadUsage, error.what(), askedFormat(args), out, err);
    err << usageHint(namedSubcommand(args));
    return status;
  }
  if (line.help) {
    out << (line.subcommand ? subcommandHelp(*line.subcommand) : toolHelp());
    return kSuccess;
  }
  if (line.version) {
    out << "tivax " << TIVAX_VERSION << '\n';
    return kSuccess;
  }
  try {
    return runSubcommand(line, out, err);
  } catch (const std::exception& error) {
    return fail(kInvalidResult, error.what(), line.format, out, err);
  }
}

}  // namespace tivaxcli
