// SPDX-License-Identifier: MIT
#include "answer_output.h"

#include <utf8.h>

#include <cstdio>

namespace tivaxcli {

std::string jsonString(const std::string& bytes) {
  // Device texts are byte strings; JSON must be UTF-8.
  const std::string text = utf8::replace_invalid(bytes);
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          quoted += escaped;
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

void printAnswer(std::ostream& out, OutputFormat format, const std::string& line,
                 const std::vector<NamedField>& fields) {
  switch (format) {
    case OutputFormat::Line:
      out << line << '\n';
      return;
    case OutputFormat::Fields:
      for (const NamedField& field : fields) out << field.first << '=' << field.second << '\n';
      return;
    case OutputFormat::Json: {
      out << '{';
      const char* separator = "";
      for (const NamedField& field : fields) {
        out << separator << jsonString(field.first) << ':' << jsonString(field.second);
        separator = ",";
      }
      out << "}\n";
      return;
    }
  }
}

void printFailure(std::ostream& out, OutputFormat format, const std::string& reason) {
  if (format == OutputFormat::Json) out << "{\"erro\":" << jsonString(reason) << "}\n";
}

}  // namespace tivaxcli
