// SPDX-License-Identifier: MIT
// Sale XML cleaning followed by the layout check, as EnviarDadosVenda runs
// them, on any bytes.
//
// The cleaned text must be valid UTF-8 without a single "|" (the request
// line's separator), cleaning it again must change nothing, and the check
// must end with a short detail, empty on success, that can stand as a field
// of a result line: valid UTF-8, no "|", no line end. The check alone must
// also survive the raw bytes, under the same promises.
#include <utf8.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cfe/sale_check.h"
#include "cfe/sale_text.h"
#include "fuzz_input.h"

namespace {

using tivaxfuzz::require;

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
    ++n;
  return n;
}

void checkDetail(bool passed, const std::string& detail) {
  require(detail.size() <= 180, "detail longer than 180 bytes", detail);
  if (passed) require(detail.empty(), "detail on a sale that passed", detail);
  require(utf8::is_valid(detail.begin(), detail.end()), "detail is not UTF-8", detail);
  require(detail.find_first_of("|\r\n") == std::string::npos, "separator or line end in the detail",
          detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);

  std::string cleaned = raw;
  prepare_sale_xml(cleaned);
  require(utf8::is_valid(cleaned.begin(), cleaned.end()), "cleaned text is not UTF-8");
  require(cleaned.find('|') == std::string::npos, "separator left in the cleaned text");
  require(count(cleaned, "&#x7c;") >= count(raw, "|"), "a separator vanished instead of being replaced");

  std::string again = cleaned;
  prepare_sale_xml(again);
  require(again == cleaned, "cleaning twice differs from cleaning once", again);

  std::string detail;
  const bool passed = check_sale_xml(cleaned, detail);
  checkDetail(passed, detail);

  std::string rawDetail;
  const bool rawPassed = check_sale_xml(raw, rawDetail);
  checkDetail(rawPassed, rawDetail);
  return 0;
}
