// SPDX-License-Identifier: MIT
// Parsing a whole command line: global options anywhere, the subcommand's
// name, its options; then the checks that need the whole line.
#ifndef TIVAX_CLI_COMMAND_LINE_H
#define TIVAX_CLI_COMMAND_LINE_H

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "answer_output.h"
#include "cli_options.h"
#include "subcommands.h"

namespace tivaxcli {

enum class PortChoice { Discovery, Path, Emulator };

struct CommandLine {
  bool help = false;
  bool version = false;
  const Subcommand* subcommand = nullptr;  // null only with help or version
  std::optional<int> sessao;
  PortChoice port = PortChoice::Discovery;
  std::string portPath;
  std::optional<std::string> timeout;  // for TIVAX_TIMEOUT
  bool trace = false;                  // TIVAX_LOG=stderr
  OutputFormat format = OutputFormat::Line;
  OptionValues values;  // the subcommand's options, defaults filled, files read
};

// Throws UsageError for anything the tool cannot run. With --help or
// --version the line is accepted as soon as its words are known (required
// options may then be missing), and no file is read.
CommandLine parseCommandLine(const std::vector<std::string>& args, std::istream& in);

}  // namespace tivaxcli

#endif
