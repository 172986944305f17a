// SPDX-License-Identifier: MIT
// The request line as the device reads it: "id|session|param|param...".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tivaxemu {

struct Request {
  int function = -1;
  std::int32_t session = 0;
  std::vector<std::string> params;  // everything after the session number
};

enum class ParseResult {
  kOk,
  kUnknownFunction,  // the session number was read; the function id was not
  kUnreadable,       // not even a session number
};

// Splits at every "|". Unlike the library's answer splitting, a trailing
// "|" gives an empty last field: the library writes an empty last
// parameter that way.
std::vector<std::string> splitFields(const std::string& line);

// Reads a session number as the library writes it: zero-filled on the left
// to six characters, the fill standing in front of a minus sign ("0000-1").
bool parseSession(const std::string& text, std::int32_t& session);
std::string formatSession(std::int64_t session);

// A plain unsigned decimal that fits an int (the function id, cNumeroDeSessao,
// subComando, opcao). Negative values come as "-digits".
bool parseInt(const std::string& text, int& value);

ParseResult parseRequest(const std::string& line, Request& request);

}  // namespace tivaxemu
