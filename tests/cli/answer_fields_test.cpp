// SPDX-License-Identifier: MIT
// Naming and printing the fields of device answers.
#include "answer_fields.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "answer_output.h"

namespace tivaxcli {
namespace {

std::vector<std::string> names(const std::vector<NamedField>& fields) {
  std::vector<std::string> out;
  for (const NamedField& field : fields) out.push_back(field.first);
  return out;
}

TEST(AnswerFields, StatusFieldsAreTheStandardsTwentyEight) {
  const std::vector<std::string> expected = {
      "numeroSessao",    "EEEEE",           "mensagem",       "cod",        "mensagemSEFAZ",
      "NSERIE",          "TIPO_LAN",        "LAN_IP",         "LAN_MAC",    "LAN_MASK",
      "LAN_GW",          "LAN_DNS_1",       "LAN_DNS_2",      "STATUS_LAN", "NIVEL_BATERIA",
      "MT_TOTAL",        "MT_USADA",        "DH_ATUAL",       "VER_SB",     "VER_LAYOUT",
      "ULTIMO_CF_E_SAT", "LISTA_INICIAL",   "LISTA_FINAL",    "DH_CFE",     "DH_ULTIMA",
      "CERT_EMISSAO",    "CERT_VENCIMENTO", "ESTADO_OPERACAO"};
  EXPECT_EQ(layoutFieldNames(AnswerLayout::Status), expected);
  std::string line = "000001|10000|Resposta com Sucesso|0|";
  for (int i = 6; i <= 28; ++i) line += "|v" + std::to_string(i);
  const std::vector<NamedField> fields = nameFields(AnswerLayout::Status, line);
  ASSERT_EQ(fields.size(), 28u);
  EXPECT_EQ(fields[4], NamedField("mensagemSEFAZ", ""));
  EXPECT_EQ(fields[27], NamedField("ESTADO_OPERACAO", "v28"));
}

TEST(AnswerFields, SaleAnswersCarryTheSecondCode) {
  const std::vector<std::string> expected = {
      "numeroSessao",     "EEEEE",     "CCCC",          "mensagem",      "cod",          "mensagemSEFAZ",
      "arquivoCFeBase64", "timeStamp", "chaveConsulta", "valorTotalCFe", "CPFCNPJValue", "assinaturaQRCODE"};
  EXPECT_EQ(layoutFieldNames(AnswerLayout::Sale), expected);
  // The library's own refusal of a malformed sale has the same shape.
  const std::vector<NamedField> refusal =
      nameFields(AnswerLayout::Sale, "000123|06010|1999|Erro no XML: Falha ao verificar tag: emit||");
  ASSERT_EQ(refusal.size(), 6u);
  EXPECT_EQ(refusal[2], NamedField("CCCC", "1999"));
  EXPECT_EQ(refusal[3], NamedField("mensagem", "Erro no XML: Falha ao verificar tag: emit"));
}

TEST(AnswerFields, SplittingKeepsEmptyFieldsAndNamesTheSurplus) {
  EXPECT_EQ(splitAnswer(""), std::vector<std::string>{""});
  EXPECT_EQ(splitAnswer("a||b|"), (std::vector<std::string>{"a", "", "b", ""}));
  const std::vector<NamedField> fields = nameFields(AnswerLayout::Common, "1|08000|ok|0|sefaz|x|y");
  EXPECT_EQ(names(fields), (std::vector<std::string>{"numeroSessao", "EEEEE", "mensagem", "cod",
                                                     "mensagemSEFAZ", "campo6", "campo7"}));
  // A short answer names only what is there.
  EXPECT_EQ(names(nameFields(AnswerLayout::Activation, "1|04001|erro")),
            (std::vector<std::string>{"numeroSessao", "EEEEE", "mensagem"}));
}

struct StoredAnswer {
  std::string line;
  AnswerLayout layout;
};

class SessionQueryLayout : public ::testing::TestWithParam<StoredAnswer> {};

TEST_P(SessionQueryLayout, FollowsTheStoredAnswersFunction) {
  EXPECT_EQ(storedAnswerLayout(GetParam().line), GetParam().layout) << GetParam().line;
  EXPECT_EQ(names(nameFields(AnswerLayout::SessionQuery, GetParam().line)),
            names(nameFields(GetParam().layout, GetParam().line)));
}

INSTANTIATE_TEST_SUITE_P(
    Cli, SessionQueryLayout,
    ::testing::Values(StoredAnswer{"000007|06000|0000|Emitido com sucesso|0|", AnswerLayout::Sale},
                      StoredAnswer{"000007|07000|0000|Cancelado|0|", AnswerLayout::Sale},
                      StoredAnswer{"000007|10000|ok|0||N|", AnswerLayout::Status},
                      StoredAnswer{"000007|04006|ok|0||csr", AnswerLayout::Activation},
                      StoredAnswer{"000007|09000|ok|0||b64|ts|1|k", AnswerLayout::EndToEndTest},
                      StoredAnswer{"000007|15000|ok|0||log", AnswerLayout::Logs},
                      StoredAnswer{"000007|08000|ok|0|", AnswerLayout::Common},
                      StoredAnswer{"000007", AnswerLayout::Common},
                      StoredAnswer{"000007|6", AnswerLayout::Common}));

TEST(AnswerOutput, PrintsTheLineFieldsOrJson) {
  const std::string line = "000005|08000|SAT em \"opera\\cao\"|0|";
  const std::vector<NamedField> fields = nameFields(AnswerLayout::Common, line);
  std::ostringstream raw, named, json;
  printAnswer(raw, OutputFormat::Line, line, fields);
  printAnswer(named, OutputFormat::Fields, line, fields);
  printAnswer(json, OutputFormat::Json, line, fields);
  EXPECT_EQ(raw.str(), line + "\n");
  EXPECT_EQ(named.str(),
            "numeroSessao=000005\nEEEEE=08000\nmensagem=SAT em \"opera\\cao\"\ncod=0\nmensagemSEFAZ=\n");
  EXPECT_EQ(json.str(),
            "{\"numeroSessao\":\"000005\",\"EEEEE\":\"08000\",\"mensagem\":\"SAT em \\\"opera\\\\cao\\\"\","
            "\"cod\":\"0\",\"mensagemSEFAZ\":\"\"}\n");
}

TEST(AnswerOutput, JsonStringsAreValidUtf8WhateverTheBytes) {
  struct Case {
    std::string bytes, json;
  };
  const std::vector<Case> cases = {
      {"", "\"\""},
      {"a\tb\nc\rd", "\"a\\tb\\nc\\rd\""},
      {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
      {"Opera\xc3\xa7\xc3\xa3o", "\"Opera\xc3\xa7\xc3\xa3o\""},  // valid UTF-8 kept
      {"Opera\xe7\xe3o", "\"Opera\xef\xbf\xbd\xef\xbf\xbdo\""},  // Latin-1 bytes replaced
      {"\xc3", "\"\xef\xbf\xbd\""},                              // cut sequence
  };
  for (const Case& c : cases) EXPECT_EQ(jsonString(c.bytes), c.json) << c.bytes;
}

}  // namespace
}  // namespace tivaxcli
