// SPDX-License-Identifier: MIT
#include "cfe/sale_check.h"

#include <algorithm>
#include <cstddef>
#include <ios>
#include <new>

#include <pugixml.hpp>

#include "cfe/cfe_007_verify.h"
#include "cfe/sale_text.h"

namespace {

// Processing instructions, CDATA, entities, line-end normalisation and the
// document type are parsed; attribute whitespace is left as it is; a text
// node made only of whitespace is kept when it is its element's only child,
// so a group holding nothing but blanks is refused as a group with text.
const unsigned int kParseOptions = pugi::parse_pi | pugi::parse_cdata | pugi::parse_escapes |
                                   pugi::parse_eol | pugi::parse_doctype |
                                   pugi::parse_ws_pcdata_single;

const size_t kLongestDetail = 180;
const size_t kCutDetail = 177;
const char kEllipsis[] = "...";

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The detail quotes the document's decoded text, which character references
// can make anything. It travels as one field of one answer line, which
// applications decode as UTF-8: invalid sequences are replaced, a "|" is
// written as its reference, and line ends become spaces.
void makeFieldText(std::string& detail) {
  fix_utf8_string(detail);
  replacePipeXml(detail);
  std::replace(detail.begin(), detail.end(), '\r', ' ');
  std::replace(detail.begin(), detail.end(), '\n', ' ');
}

// Keeps a detail text within kLongestDetail bytes. The cut goes back to the
// start of a character, so that the text stays valid UTF-8 (a character is
// at most four bytes, so at most three steps back).
void shorten(std::string& detail) {
  if (detail.size() <= kLongestDetail) return;
  size_t cut = kCutDetail;
  for (int step = 0; step < 3 && cut > 0 && isContinuationByte(detail[cut]); ++step) --cut;
  detail.resize(cut);
  detail += kEllipsis;
}

}  // namespace

bool check_sale_xml(const std::string& dadosVenda, std::string& detail) {
  detail.clear();
  // load_buffer parses a copy of its own, leaving the caller's text alone.
  // The text is UTF-8 already (repaired beforehand), so no detection runs;
  // a leading byte-order mark is skipped.
  pugi::xml_document document;
  const pugi::xml_parse_result loaded =
      document.load_buffer(dadosVenda.data(), dadosVenda.size(), kParseOptions, pugi::encoding_utf8);
  // Running out of memory says nothing about the sale: it must not be
  // answered as a malformed document.
  if (loaded.status == pugi::status_out_of_memory) throw std::bad_alloc();
  if (!loaded) return false;

  cfe_007_verify walker;
  // A message stream that fails to grow would otherwise cut the detail
  // short without a word.
  walker._message.exceptions(std::ios::badbit);
  document.traverse(walker);
  detail = walker._message.str();
  makeFieldText(detail);
  shorten(detail);
  return walker._ok;
}
