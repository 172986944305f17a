// SPDX-License-Identifier: MIT
#include "command_line.h"

namespace tivaxcli {

namespace {

const std::string kHelpWord = "--help";

const CliOption* findGlobal(const std::string& name) {
  for (const CliOption& option : globalOptions())
    if (option.name == name) return &option;
  return nullptr;
}

void checkValue(const CliOption& option, const std::string& value) {
  if (option.kind == ValueKind::Integer && !parseInteger(value, option.minimum, option.maximum)) {
    std::string bounds;
    if (option.maximum != INT_MAX)
      bounds = " de " + std::to_string(option.minimum) + " a " + std::to_string(option.maximum);
    else if (option.minimum != INT_MIN)
      bounds = " (mínimo " + std::to_string(option.minimum) + ")";
    throw UsageError("valor inválido para --" + option.name + ": \"" + value +
                     "\"; esperado um número inteiro" + bounds);
  }
}

// The words of the line as options with their values, and the one word that
// is not an option: the subcommand's name.
struct Words {
  OptionValues global;
  OptionValues local;
  const Subcommand* subcommand = nullptr;
};

Words readWords(const std::vector<std::string>& args) {
  Words words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    // -h is the one short option: the word people try first.
    const std::string& word = args[i] == "-h" ? kHelpWord : args[i];
    if (word.rfind("--", 0) != 0 || word == "--") {
      if (words.subcommand) throw UsageError("argumento inesperado: \"" + word + "\"");
      words.subcommand = findSubcommand(word);
      if (!words.subcommand) throw UsageError("subcomando desconhecido: \"" + word + "\"");
      continue;
    }
    const std::string::size_type equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const CliOption* option = findGlobal(name);
    OptionValues* target = &words.global;
    if (!option && words.subcommand) {
      option = words.subcommand->findOption(name);
      target = &words.local;
    }
    if (!option) {
      throw UsageError(words.subcommand ? "opção desconhecida para " + words.subcommand->name + ": --" + name
                                        : "opção desconhecida: --" + name);
    }
    if (target->has(name)) throw UsageError("opção repetida: --" + name);

    std::string value;
    if (option->kind == ValueKind::Flag) {
      if (equals != std::string::npos) throw UsageError("a opção --" + name + " não aceita valor");
    } else if (equals != std::string::npos) {
      value = word.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw UsageError("a opção --" + name + " precisa de um valor");
    }
    checkValue(*option, value);
    target->set(name, value);
  }
  return words;
}

// Seconds, with a decimal point or a decimal comma ("2.5", "2,5"), as the
// library reads TIVAX_TIMEOUT; anything else is refused here rather than
// ignored by the library with a warning.
std::string secondsOption(const std::string& text) {
  bool digit = false, separator = false;
  std::string seconds;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if ((c == '.' || c == ',') && !separator) {
      separator = true;
    } else {
      digit = false;
      break;
    }
    seconds += c == ',' ? '.' : c;
  }
  if (!digit || seconds.size() != text.size())
    throw UsageError("--tempo-limite precisa de um número de segundos, como 2,5 ou 2.5: \"" + text +
                     "\"");
  return seconds;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args, std::istream& in) {
  Words words = readWords(args);
  CommandLine line;
  line.help = words.global.has("help");
  line.version = words.global.has("version");
  line.subcommand = words.subcommand;
  if (line.help || line.version) return line;
  if (!line.subcommand) throw UsageError("falta o subcomando");

  if (words.global.has("sessao")) line.sessao = words.global.integer("sessao");
  if (words.global.has("tempo-limite")) line.timeout = secondsOption(words.global.text("tempo-limite"));
  line.trace = words.global.has("trace");
  if (words.global.has("porta") && words.global.has("emulador"))
    throw UsageError("--porta e --emulador não podem ser usadas juntas");
  if (words.global.has("porta")) {
    line.port = PortChoice::Path;
    line.portPath = words.global.text("porta");
    if (line.portPath.empty()) throw UsageError("--porta precisa de um caminho");
  } else if (words.global.has("emulador")) {
    line.port = PortChoice::Emulator;
  }
  if (words.global.has("campos") && words.global.has("json"))
    throw UsageError("--campos e --json não podem ser usadas juntas");
  if (words.global.has("campos")) line.format = OutputFormat::Fields;
  if (words.global.has("json")) line.format = OutputFormat::Json;

  for (const CliOption& option : line.subcommand->options) {
    if (!words.local.has(option.name)) {
      if (option.required) throw UsageError(line.subcommand->name + ": falta a opção --" + option.name);
      line.values.set(option.name, option.defaultValue);
    } else if (option.kind == ValueKind::File) {
      line.values.set(option.name, readFileValue(words.local.text(option.name), in));
    } else {
      line.values.set(option.name, words.local.text(option.name));
    }
  }
  return line;
}

}  // namespace tivaxcli
