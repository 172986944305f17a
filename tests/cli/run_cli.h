// SPDX-License-Identifier: MIT
// Runs the tool in-process and keeps what it said.
#ifndef TIVAX_TESTS_CLI_RUN_CLI_H
#define TIVAX_TESTS_CLI_RUN_CLI_H

#include <sstream>
#include <string>
#include <vector>

#include "cli_app.h"

namespace tivaxcli {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

inline Outcome runTool(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = runCli(args, in, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace tivaxcli

#endif
