// SPDX-License-Identifier: MIT
// The tivax tool as a function of its arguments and streams, so that tests
// run it in-process.
#ifndef TIVAX_CLI_CLI_APP_H
#define TIVAX_CLI_CLI_APP_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace tivaxcli {

// 0 only when the device answered with the function's success code, so that
// `tivax enviar-venda ... && mark_paid` never takes a refused sale as done.
enum ExitStatus { kSuccess = 0, kInvalidResult = 1, kBadUsage = 2, kRefused = 3 };

// `args` are the words after the program name.
int runCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace tivaxcli

#endif
