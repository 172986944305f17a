// The tivax tool as a function of its arguments and streams, so that tests
// run it in-process.
#ifndef TIVAX_CLI_CLI_APP_H
#define TIVAX_CLI_CLI_APP_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace tivaxcli {

enum ExitStatus { kValidAnswer = 0, kInvalidResult = 1, kBadUsage = 2 };

// `args` are the words after the program name.
int runCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace tivaxcli

#endif
