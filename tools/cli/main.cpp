// SPDX-License-Identifier: MIT
// tivax: every function of the SAT-CF-e device from the shell.
#include <iostream>
#include <string>
#include <vector>

#include "cli_app.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tivaxcli::runCli(args, std::cin, std::cout, std::cerr);
}
