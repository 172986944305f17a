// SPDX-License-Identifier: MIT
#include "help_text.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <utility>
#include <vector>

namespace tivaxcli {

namespace {

const char kExitStatus[] =
    "Código de saída: 0 o equipamento respondeu com o código de sucesso da função;\n"
    "3 respondeu com outro código (venda recusada, código de ativação errado...);\n"
    "1 resultado inválido (equipamento inacessível, pedido recusado pela biblioteca ou\n"
    "resposta que não corresponde ao pedido); 2 uso incorreto.\n";

std::string optionLabel(const CliOption& option) {
  std::string label = "--" + option.name;
  if (option.kind != ValueKind::Flag) label += " " + option.metavar;
  return label;
}

std::string optionText(const CliOption& option) {
  std::string text = option.help;
  if (option.required)
    text += " (obrigatória)";
  else if (!option.defaultValue.empty())
    text += " (padrão: " + option.defaultValue + ")";
  return text;
}

// Two aligned columns, indented by two spaces.
void printColumns(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& rows) {
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  for (const auto& row : rows)
    out << "  " << row.first << std::string(width - row.first.size() + 2, ' ') << row.second << '\n';
}

void printOptions(std::ostream& out, const std::vector<CliOption>& options) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const CliOption& option : options) rows.emplace_back(optionLabel(option), optionText(option));
  printColumns(out, rows);
}

}  // namespace

std::string toolHelp() {
  std::ostringstream out;
  out << "Uso: tivax [opções globais] SUBCOMANDO [opções]\n\n"
         "Chama uma função do equipamento SAT-CF-e e imprime a resposta.\n\n"
         "Opções globais (antes ou depois do subcomando):\n";
  printOptions(out, globalOptions());
  out << "\nSubcomandos:\n";
  std::vector<std::pair<std::string, std::string>> rows;
  for (const Subcommand& subcommand : subcommands())
    rows.emplace_back(subcommand.name, subcommand.summary + " (" + subcommand.function + ")");
  printColumns(out, rows);
  out << "\nSem --porta nem --emulador, o equipamento é procurado entre os terminais USB.\n"
      << kExitStatus
      << "Sem uma resposta válida, o motivo dado pela biblioteca vai para a saída de erros\n"
         "(com --json, também para o membro \"erro\" do objeto).\n"
      << "Use \"tivax SUBCOMANDO --help\" para ver as opções de cada subcomando.\n";
  return out.str();
}

std::string subcommandHelp(const Subcommand& subcommand) {
  std::ostringstream out;
  out << "Uso: tivax [opções globais] " << subcommand.name;
  for (const CliOption& option : subcommand.options)
    out << (option.required ? " " : " [") << optionLabel(option) << (option.required ? "" : "]");
  std::string summary = subcommand.summary;
  if (!summary.empty()) summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  out << "\n\n" << summary << ": chama " << subcommand.function << ".\n";
  if (!subcommand.options.empty()) {
    out << "\nOpções:\n";
    printOptions(out, subcommand.options);
  }
  const std::vector<std::string>& names = layoutFieldNames(subcommand.layout);
  if (!names.empty()) {
    out << "\nCampos da resposta (--campos, --json):";
    for (const std::string& name : names) out << ' ' << name;
    out << '\n';
  } else if (subcommand.layout == AnswerLayout::SessionQuery) {
    out << "\nA resposta é a de outra sessão: seus campos são nomeados conforme a função que a gerou.\n";
  } else if (subcommand.layout == AnswerLayout::Flag) {
    out << "\nResposta: 1 ou 0 (campo " << subcommand.flagName << ").\n";
  }
  out << "\nOpções globais: --sessao N, --porta CAMINHO, --emulador, --tempo-limite SEGUNDOS, --trace,\n"
         "--campos, --json (veja tivax --help).\n"
      << kExitStatus;
  return out.str();
}

std::string usageHint(const Subcommand* subcommand) {
  return subcommand ? "Use \"tivax " + subcommand->name + " --help\" para ver as opções.\n"
                    : "Use \"tivax --help\" para ver os subcomandos.\n";
}

}  // namespace tivaxcli
