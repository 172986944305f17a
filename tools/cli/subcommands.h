// SPDX-License-Identifier: MIT
// The tool's subcommands: one table row per library function, with its
// options, the shape of its answer and the call that runs it.
#ifndef TIVAX_CLI_SUBCOMMANDS_H
#define TIVAX_CLI_SUBCOMMANDS_H

#include <functional>
#include <string>
#include <vector>

#include "answer_fields.h"
#include "cli_options.h"

namespace tivaxcli {

struct Invocation {
  int sessao;
  const OptionValues& values;
};

// What a call gave back: the library's text (a SAT answer line, or "1"/"0"
// for the yes-or-no functions), whether it counts as a valid answer, and
// the library's reason when it does not (may be empty).
struct Answer {
  std::string text;
  bool valid;
  std::string reason;
};

// TivaxlibUltimoErro() copied: the library keeps the text only until the
// thread's next call, so it is read right after the call it explains.
std::string libraryReason();

struct Subcommand {
  std::string name;
  std::string function;     // the library function behind it
  int functionNumber = -1;  // the device's number for it; -1: not a SAT function
  std::string summary;
  std::vector<CliOption> options;
  AnswerLayout layout = AnswerLayout::Common;
  std::string flagName;     // the value's name for AnswerLayout::Flag
  bool needsDevice = true;  // connects before the call
  std::function<Answer(const Invocation&)> call;

  const CliOption* findOption(const std::string& optionName) const;
};

const std::vector<Subcommand>& subcommands();
const Subcommand* findSubcommand(const std::string& name);

// Options valid with every subcommand, before or after its name.
const std::vector<CliOption>& globalOptions();

}  // namespace tivaxcli

#endif
