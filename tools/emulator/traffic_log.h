// SPDX-License-Identifier: MIT
// The lines of the emulator's --verbose report: each request and each
// answer, with the codes that unlock the device masked and the bulky
// fields shortened, the way the library's own log shows them.
#pragma once

#include <string>

#include "emulator.h"

namespace tivaxemu {

constexpr char kMasked[] = "********";
constexpr std::size_t kLongField = 256;  // longer fields are shortened
constexpr std::size_t kKeptBytes = 64;   // what a shortened field keeps

// Its first 64 bytes and "...(N bytes)" (never half a UTF-8 character),
// when longer than 256 bytes or when `always`; otherwise the field itself.
std::string shortenedField(const std::string& field, bool always = false);

// A request line as it arrived: the activation or emergency code and the
// new code with its confirmation masked, the certificate and the signature
// shortened, other fields past 256 bytes too. A line whose fields do not
// fall where its function has them (a code holding a "|", an unknown
// function) has every parameter masked: where the code stands is not known.
std::string reportedRequest(const std::string& line);

// An answer line: fields past 256 bytes shortened (the signed CF-e of a
// sale, the device's log).
std::string reportedAnswer(const std::string& line);

// The faults that change what goes on the wire, in words ("eco, silêncio");
// empty for none.
std::string faultNames(Faults faults);

// Control bytes written as \r, \t or \xNN (and \ as \\), so that a report
// is one line.
std::string printable(const std::string& text);

}  // namespace tivaxemu
