// SPDX-License-Identifier: MIT
// Names for the "|"-separated fields of a device answer, as the SAT-CF-e
// standard names them, so that the tool can print them by name.
#ifndef TIVAX_CLI_ANSWER_FIELDS_H
#define TIVAX_CLI_ANSWER_FIELDS_H

#include <string>
#include <utility>
#include <vector>

namespace tivaxcli {

// The shape of an answer. Most functions answer with the five common fields
// and a few extras; a sale or a cancellation carries a second code (CCCC)
// and the signed receipt; the operational status carries 28 fields. A
// session query answers with another session's stored line, whose shape is
// told by the family of its result code.
enum class AnswerLayout { Common, Activation, Sale, EndToEndTest, Status, Logs, SessionQuery, Flag };

using NamedField = std::pair<std::string, std::string>;

// Splits an answer line at every "|"; empty fields count, and a trailing "|"
// ends in an empty last field.
std::vector<std::string> splitAnswer(const std::string& line);

// The field names of a layout, in order (empty for SessionQuery and Flag,
// which depend on the answer).
const std::vector<std::string>& layoutFieldNames(AnswerLayout layout);

// The layout a stored answer line has, judged by its result code (second
// field): 06xxx sale, 07xxx cancellation, 10xxx status, and so on.
AnswerLayout storedAnswerLayout(const std::string& line);

// The fields of `line` with their names. Fields beyond the layout's names
// are called campo<N> (N counted from 1). A Flag answer is one value named
// `flagName`.
std::vector<NamedField> nameFields(AnswerLayout layout, const std::string& line,
                                   const std::string& flagName = "resultado");

}  // namespace tivaxcli

#endif
