// SPDX-License-Identifier: MIT
#include "traffic_log.h"

#include <cstdio>
#include <vector>

#include "request_line.h"
#include "result_codes.h"

namespace tivaxemu {

namespace {

// What each parameter after the session number is, per function number:
// P plain, S a code that unlocks the device, B a certificate or signature.
// The string's length is the function's parameter count.
const char* const kParameterRoles[kSatFunctionCount] = {
    "PSPP",  // AtivarSAT: subComando, codigoDeAtivacao, CNPJ, cUF
    "SB",    // ComunicarCertificadoICPBRASIL: codigoDeAtivacao, certificado
    "SP",    // EnviarDadosVenda: codigoDeAtivacao, dadosVenda
    "SPP",   // CancelarUltimaVenda: codigoDeAtivacao, chave, dadosCancelamento
    "",      // ConsultarSAT
    "SP",    // TesteFimAFim: codigoDeAtivacao, dadosVenda
    "S",     // ConsultarStatusOperacional
    "SP",    // ConsultarNumeroSessao: codigoDeAtivacao, cNumeroDeSessao
    "SP",    // ConfigurarInterfaceDeRede: codigoDeAtivacao, dadosConfiguracao
    "SPB",   // AssociarAssinatura: codigoDeAtivacao, CNPJvalue, assinaturaCNPJs
    "S",     // AtualizarSoftwareSAT
    "S",     // ExtrairLogs
    "S",     // BloquearSAT
    "S",     // DesbloquearSAT
    "SPSS",  // TrocarCodigoDeAtivacao: codigo, opcao, novoCodigo, confNovoCodigo
    "S",     // ConsultarUltimaSessaoFiscal
};

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

std::string joined(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '|';
    line += fields[i];
  }
  return line;
}

}  // namespace

std::string shortenedField(const std::string& field, bool always) {
  if (!always && field.size() <= kLongField) return field;
  std::size_t kept = field.size() < kKeptBytes ? field.size() : kKeptBytes;
  while (kept > 0 && kept < field.size() && continuationByte(field[kept])) --kept;
  return field.substr(0, kept) + "...(" + std::to_string(field.size()) + " bytes)";
}

std::string reportedRequest(const std::string& line) {
  std::vector<std::string> fields = splitFields(line);
  if (fields.size() < 2) return shortenedField(line);
  Request request;
  const char* roles = nullptr;
  if (parseRequest(line, request) == ParseResult::kOk) roles = kParameterRoles[request.function];
  const bool aligned = roles != nullptr && std::char_traits<char>::length(roles) == fields.size() - 2;
  fields[0] = shortenedField(fields[0]);
  fields[1] = shortenedField(fields[1]);
  for (std::size_t i = 2; i < fields.size(); ++i) {
    const char role = aligned ? roles[i - 2] : 'S';
    fields[i] = role == 'S' ? kMasked : shortenedField(fields[i], role == 'B');
  }
  return joined(fields);
}

std::string reportedAnswer(const std::string& line) {
  std::vector<std::string> fields = splitFields(line);
  for (std::string& field : fields) field = shortenedField(field);
  return joined(fields);
}

std::string faultNames(Faults faults) {
  std::string names;
  for (const NamedFault& entry : kNamedFaults) {
    if (!(faults & entry.fault)) continue;
    if (!names.empty()) names += ", ";
    names += entry.words;
  }
  return names;
}

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace tivaxemu
