// SPDX-License-Identifier: MIT
// The sixteen SAT functions as the hub serves them: the path that names
// each one, its standard name, the form fields it takes and how they reach
// the library. One table drives routing, field checks and the calls.
#ifndef TIVAX_HUB_FUNCTIONS_H
#define TIVAX_HUB_FUNCTIONS_H

#include <cstddef>
#include <string>
#include <vector>

namespace tivaxhub {

// The device's own limit for a sale document.
constexpr std::size_t kSaleLimitBytes = 1500 * 1024;

enum class FieldKind {
  Integer,    // decimal digits, between min and max
  Digits,     // exactly min decimal digits
  AccessKey,  // "CFe" and 44 digits
  Code,       // an activation or emergency code: 8 to 32 characters
  Text,       // a one-line text without "|"
  Xml,        // a document: line breaks allowed, no "|"
  Sale,       // a sale or cancellation document: "|" allowed (the library
              // escapes it), at most kSaleLimitBytes
};

struct FieldRule {
  const char* name;
  FieldKind kind;
  long min = 0;
  long max = 0;
  bool optional = false;
};

// The field values in the order of the function's fields ("" for an
// optional field left out).
using FieldValues = std::vector<std::string>;

// Calls the library; the result string is the library's, to be released
// with DesalocarString.
using LibraryCall = char* (*)(int session, const char* code, const FieldValues& values);

struct HubFunction {
  const char* path;  // the last path segment, "enviardadosvenda"
  const char* name;  // the standard's name, "EnviarDadosVenda"
  std::vector<FieldRule> fields;
  bool administrative;
  // A query: carrying it out twice changes nothing on the device, so a
  // repeat whose answer was lost is simply carried out again.
  bool repeatable;
  LibraryCall call;
};

const std::vector<HubFunction>& hubFunctions();
// Null for a path that names no function.
const HubFunction* findFunction(const std::string& path);
const HubFunction& consultarNumeroSessaoFunction();

// Result codes the hub acts on.
constexpr char kCodigoTrocado[] = "18000";          // TrocarCodigoDeAtivacao succeeded
constexpr char kSessaoInexistente[] = "11003";      // ConsultarNumeroSessao: no such session

}  // namespace tivaxhub

#endif
