// SPDX-License-Identifier: MIT
#include "cli_options.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tivaxcli {

CliOption requiredOption(std::string name, ValueKind kind, std::string metavar, std::string help) {
  CliOption option = optionalOption(std::move(name), kind, std::move(metavar), std::move(help));
  option.required = true;
  return option;
}

CliOption optionalOption(std::string name, ValueKind kind, std::string metavar, std::string help,
                         std::string defaultValue) {
  CliOption option;
  option.name = std::move(name);
  option.kind = kind;
  option.metavar = std::move(metavar);
  option.help = std::move(help);
  option.defaultValue = std::move(defaultValue);
  return option;
}

CliOption flagOption(std::string name, std::string help) {
  return optionalOption(std::move(name), ValueKind::Flag, "", std::move(help));
}

CliOption CliOption::atLeast(long long bound) const {
  CliOption option = *this;
  option.minimum = bound;
  return option;
}

CliOption CliOption::between(long long lowest, long long highest) const {
  CliOption option = atLeast(lowest);
  option.maximum = highest;
  return option;
}

void OptionValues::set(const std::string& name, std::string value) { values_[name] = std::move(value); }

bool OptionValues::has(const std::string& name) const { return values_.count(name) != 0; }

const std::string& OptionValues::text(const std::string& name) const { return values_.at(name); }

int OptionValues::integer(const std::string& name) const {
  // Values reach this map only after parseInteger accepted them.
  return static_cast<int>(std::stoll(values_.at(name)));
}

std::optional<long long> parseInteger(const std::string& word, long long minimum, long long maximum) {
  if (word.empty() || word.find_first_of(" \t\n") != std::string::npos) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < minimum || value > maximum) return std::nullopt;
  return value;
}

std::string readFileValue(const std::string& path, std::istream& in) {
  std::ostringstream content;
  if (path == "-") {
    content << in.rdbuf();
    return content.str();
  }
  std::error_code ignored;
  std::ifstream file(path, std::ios::binary);
  if (!file || std::filesystem::is_directory(path, ignored))
    throw UsageError("não foi possível ler o arquivo " + path);
  content << file.rdbuf();
  if (file.bad()) throw UsageError("erro ao ler o arquivo " + path);
  return content.str();
}

}  // namespace tivaxcli
