// SPDX-License-Identifier: MIT
// How the tool prints an answer: the line as the library returned it, one
// "name=value" line per field, or one JSON object.
#ifndef TIVAX_CLI_ANSWER_OUTPUT_H
#define TIVAX_CLI_ANSWER_OUTPUT_H

#include <ostream>
#include <string>
#include <vector>

#include "answer_fields.h"

namespace tivaxcli {

enum class OutputFormat { Line, Fields, Json };

// A JSON string literal for a byte string: quotes, backslashes and control
// characters escaped, bytes that are not valid UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& bytes);

void printAnswer(std::ostream& out, OutputFormat format, const std::string& line,
                 const std::vector<NamedField>& fields);

// What stands on standard output when there is no answer to print: nothing,
// except with --json, where a program reading the output still gets one
// object, {"erro":"..."}.
void printFailure(std::ostream& out, OutputFormat format, const std::string& reason);

}  // namespace tivaxcli

#endif
