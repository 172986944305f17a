// SPDX-License-Identifier: MIT
// The tool's help: the whole tool, and each subcommand with its options.
#ifndef TIVAX_CLI_HELP_TEXT_H
#define TIVAX_CLI_HELP_TEXT_H

#include <string>

#include "subcommands.h"

namespace tivaxcli {

std::string toolHelp();
std::string subcommandHelp(const Subcommand& subcommand);
// One line pointing at the help, for the end of a usage error.
std::string usageHint(const Subcommand* subcommand);

}  // namespace tivaxcli

#endif
