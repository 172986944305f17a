// SPDX-License-Identifier: MIT
// The command line of the tivax tool: named options described by tables,
// and the parser that turns the words of a command line into checked values.
#ifndef TIVAX_CLI_CLI_OPTIONS_H
#define TIVAX_CLI_CLI_OPTIONS_H

#include <climits>
#include <istream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tivaxcli {

// What an option takes: nothing (a flag), an integer, a text taken as it is,
// or the path of a file whose whole content becomes the value ("-" reads
// standard input).
enum class ValueKind { Flag, Integer, Text, File };

struct CliOption {
  std::string name;  // without the leading "--"
  ValueKind kind = ValueKind::Flag;
  std::string metavar;  // shown in the help: --codigo CODIGO
  std::string help;
  bool required = false;
  std::string defaultValue;     // used when the option is absent and not required
  long long minimum = INT_MIN;  // integers only
  long long maximum = INT_MAX;

  // The same option with a lower bound, or with both bounds (integers only).
  CliOption atLeast(long long bound) const;
  CliOption between(long long lowest, long long highest) const;
};

CliOption requiredOption(std::string name, ValueKind kind, std::string metavar, std::string help);
CliOption optionalOption(std::string name, ValueKind kind, std::string metavar, std::string help,
                         std::string defaultValue = "");
CliOption flagOption(std::string name, std::string help);

// A command line the tool cannot run as given: exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The values of one command line, by option name. File options already hold
// the file's content. Asking for an option that has no value is a
// programming error and throws std::out_of_range.
class OptionValues {
 public:
  void set(const std::string& name, std::string value);
  bool has(const std::string& name) const;
  const std::string& text(const std::string& name) const;
  int integer(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

// Reads an integer written in decimal, the whole word, within the bounds.
std::optional<long long> parseInteger(const std::string& word, long long minimum, long long maximum);

// Reads the whole content of a file, or of `in` for "-"; throws UsageError
// when the file cannot be read.
std::string readFileValue(const std::string& path, std::istream& in);

}  // namespace tivaxcli

#endif
