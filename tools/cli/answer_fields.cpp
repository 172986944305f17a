// SPDX-License-Identifier: MIT
#include "answer_fields.h"

#include <map>

namespace tivaxcli {

namespace {

const std::vector<std::string> kCommon = {"numeroSessao", "EEEEE", "mensagem", "cod", "mensagemSEFAZ"};

std::vector<std::string> commonPlus(std::initializer_list<const char*> extras) {
  std::vector<std::string> names = kCommon;
  names.insert(names.end(), extras.begin(), extras.end());
  return names;
}

const std::map<AnswerLayout, std::vector<std::string>>& layouts() {
  static const std::map<AnswerLayout, std::vector<std::string>> table = {
      {AnswerLayout::Common, kCommon},
      {AnswerLayout::Activation, commonPlus({"CSR"})},
      {AnswerLayout::Sale,
       {"numeroSessao", "EEEEE", "CCCC", "mensagem", "cod", "mensagemSEFAZ", "arquivoCFeBase64", "timeStamp",
        "chaveConsulta", "valorTotalCFe", "CPFCNPJValue", "assinaturaQRCODE"}},
      {AnswerLayout::EndToEndTest,
       commonPlus({"arquivoCFeBase64", "timeStamp", "numDocFiscal", "chaveConsulta"})},
      {AnswerLayout::Status,
       commonPlus({"NSERIE",          "TIPO_LAN",        "LAN_IP",         "LAN_MAC",    "LAN_MASK",
                   "LAN_GW",          "LAN_DNS_1",       "LAN_DNS_2",      "STATUS_LAN", "NIVEL_BATERIA",
                   "MT_TOTAL",        "MT_USADA",        "DH_ATUAL",       "VER_SB",     "VER_LAYOUT",
                   "ULTIMO_CF_E_SAT", "LISTA_INICIAL",   "LISTA_FINAL",    "DH_CFE",     "DH_ULTIMA",
                   "CERT_EMISSAO",    "CERT_VENCIMENTO", "ESTADO_OPERACAO"})},
      {AnswerLayout::Logs, commonPlus({"arquivoLog"})},
      {AnswerLayout::SessionQuery, {}},
      {AnswerLayout::Flag, {}},
  };
  return table;
}

// Result-code families (the first two digits of EEEEE) whose answers carry
// more than the five common fields.
const std::map<std::string, AnswerLayout>& codeFamilies() {
  static const std::map<std::string, AnswerLayout> table = {
      {"04", AnswerLayout::Activation},   {"06", AnswerLayout::Sale},   {"07", AnswerLayout::Sale},
      {"09", AnswerLayout::EndToEndTest}, {"10", AnswerLayout::Status}, {"15", AnswerLayout::Logs},
  };
  return table;
}

}  // namespace

std::vector<std::string> splitAnswer(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type bar = line.find('|', start);
    if (bar == std::string::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
}

const std::vector<std::string>& layoutFieldNames(AnswerLayout layout) { return layouts().at(layout); }

AnswerLayout storedAnswerLayout(const std::string& line) {
  const std::vector<std::string> fields = splitAnswer(line);
  if (fields.size() < 2 || fields[1].size() < 2) return AnswerLayout::Common;
  const auto family = codeFamilies().find(fields[1].substr(0, 2));
  return family == codeFamilies().end() ? AnswerLayout::Common : family->second;
}

std::vector<NamedField> nameFields(AnswerLayout layout, const std::string& line,
                                   const std::string& flagName) {
  if (layout == AnswerLayout::Flag) return {{flagName, line}};
  if (layout == AnswerLayout::SessionQuery) layout = storedAnswerLayout(line);
  const std::vector<std::string>& names = layoutFieldNames(layout);
  std::vector<NamedField> named;
  const std::vector<std::string> fields = splitAnswer(line);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    named.emplace_back(i < names.size() ? names[i] : "campo" + std::to_string(i + 1), fields[i]);
  }
  return named;
}

}  // namespace tivaxcli
