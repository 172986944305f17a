// SPDX-License-Identifier: MIT
// The parts of tivax-emulator's command line that concern the device: its
// state file and settings, the changes from outside given at start, and
// the subcommands that read a state file or reach a running emulator.
#pragma once

#include "emulator.h"

namespace tivaxemu {

// Reads the device option at argv[i] (and its value, advancing i). Returns
// 1 when it was one, 0 when it is not a device option, -1 (reason printed)
// when its value is missing or wrong.
int deviceOption(int argc, char** argv, int& i, Options& options);

// Runs `estado`, `certificado` or `controle` when argv[1] names one;
// returns its exit status, or -1 when argv[1] is no subcommand.
int runSubcommand(int argc, char** argv);

// The usage lines of the above, for --help.
extern const char kDeviceUsage[];

}  // namespace tivaxemu
