// SPDX-License-Identifier: MIT
#include "fields.h"

#include <utf8.h>

#include <cstdlib>

#include "config.h"

namespace tivaxhub {

namespace {

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// No control characters but tab and line breaks, and those only where a
// document may carry them.
bool cleanText(const std::string& text, bool lineBreaks, bool bars) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '|' && !bars) return false;
    if (u == 0x7f) return false;
    if (u < 0x20 && !(lineBreaks && (c == '\t' || c == '\n' || c == '\r'))) return false;
  }
  return true;
}

// "" when the value suits the field, else what is wrong with it.
std::string checkValue(const FieldRule& rule, const std::string& value, int* status) {
  *status = 400;
  if (!utf8::is_valid(value.begin(), value.end())) return "não é UTF-8 válido";
  switch (rule.kind) {
    case FieldKind::Integer:
      if (!allDigits(value) || value.size() > 9 || std::atol(value.c_str()) < rule.min ||
          std::atol(value.c_str()) > rule.max)
        return "deve ser um número inteiro de " + std::to_string(rule.min) + " a " +
               std::to_string(rule.max);
      return "";
    case FieldKind::Digits:
      if (!allDigits(value) || value.size() != static_cast<size_t>(rule.min))
        return "deve ter " + std::to_string(rule.min) + " dígitos";
      return "";
    case FieldKind::AccessKey:
      if (value.size() != 47 || value.compare(0, 3, "CFe") != 0 || !allDigits(value.substr(3)))
        return "deve ser \"CFe\" seguido dos 44 dígitos da chave";
      return "";
    case FieldKind::Code:
      if (!isFieldText(value) || utf8::distance(value.begin(), value.end()) < 8 ||
          utf8::distance(value.begin(), value.end()) > 32)
        return "deve ter de 8 a 32 caracteres, sem \"|\" nem caracteres de controle";
      return "";
    case FieldKind::Text:
      if (!isFieldText(value)) return "não pode ser vazio nem ter \"|\" ou caracteres de controle";
      return "";
    case FieldKind::Xml:
      if (value.empty() || !cleanText(value, true, false))
        return "não pode ser vazio nem ter \"|\" ou caracteres de controle";
      return "";
    case FieldKind::Sale:
      if (value.size() > kSaleLimitBytes) {
        *status = 413;
        return "excede o limite do equipamento (" + std::to_string(kSaleLimitBytes / 1024) + " KiB)";
      }
      if (value.empty() || !cleanText(value, true, true))
        return "não pode ser vazio nem ter caracteres de controle";
      return "";
  }
  return "";
}

// The one value of a field; false when it comes more than once.
bool single(const std::multimap<std::string, std::string>& form, const std::string& name,
            const std::string** value) {
  const auto range = form.equal_range(name);
  *value = nullptr;
  if (range.first == range.second) return true;
  if (std::next(range.first) != range.second) return false;
  *value = &range.first->second;
  return true;
}

bool fail(FieldError* error, int status, std::string erro) {
  error->status = status;
  error->erro = std::move(erro);
  return false;
}

}  // namespace

bool parseRequest(const HubFunction& function, const std::multimap<std::string, std::string>& form,
                  HubRequest* request, FieldError* error) {
  const std::string* value = nullptr;
  if (!single(form, "numero_caixa", &value)) return fail(error, 400, "numero_caixa repetido");
  if (!value) return fail(error, 400, "falta o campo numero_caixa");
  if (!allDigits(*value) || value->size() > 3)
    return fail(error, 400, "numero_caixa deve ser um número inteiro de 0 a 999");
  request->caixa = std::atoi(value->c_str());

  if (!single(form, "id_requisicao", &value)) return fail(error, 400, "id_requisicao repetido");
  request->id.clear();
  if (value) {
    if (value->size() > kMaxRequestIdBytes || !isFieldText(*value) ||
        !utf8::is_valid(value->begin(), value->end()))
      return fail(error, 400,
                  "id_requisicao deve ter de 1 a 64 bytes de UTF-8, sem caracteres de controle");
    request->id = *value;
  }

  request->function = &function;
  request->values.assign(function.fields.size(), std::string());
  for (size_t i = 0; i < function.fields.size(); ++i) {
    const FieldRule& rule = function.fields[i];
    if (!single(form, rule.name, &value)) return fail(error, 400, std::string(rule.name) + " repetido");
    if (!value) {
      if (rule.optional) continue;
      return fail(error, 400, std::string("falta o campo ") + rule.name);
    }
    int status = 400;
    const std::string problem = checkValue(rule, *value, &status);
    if (!problem.empty()) return fail(error, status, std::string(rule.name) + " " + problem);
    request->values[i] = *value;
  }
  // The emergency code is what proves the caller under option 2.
  if (std::string(function.path) == "trocarcodigodeativacao" && request->values[1] == "2" &&
      request->values[2].empty())
    return fail(error, 400, "falta o campo codigo_emergencia (opcao 2)");
  return true;
}

}  // namespace tivaxhub
