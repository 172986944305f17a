// SPDX-License-Identifier: MIT
#include "cfe/sale_text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>

#include <utf8.h>

namespace {

const char kPipeReference[] = "&#x7c;";

// For each byte value: does case mapping change it under the current
// locale? Built per call, since the application may switch locales.
class UsefulBytes {
 public:
  UsefulBytes() {
    for (int c = 0; c < 256; ++c) {
      _useful[static_cast<size_t>(c)] =
          static_cast<unsigned char>(std::toupper(c)) != static_cast<unsigned char>(std::tolower(c));
    }
  }
  bool operator()(char byte) const { return _useful[static_cast<unsigned char>(byte)]; }

 private:
  std::array<bool, 256> _useful{};
};

// Searches that only ever move forward through one text, each remembering
// its last answer: a later question from a farther start reuses the answer
// while it still holds, so every byte is scanned about once however many
// start tags the text has.
class ForwardPatternSearch {
 public:
  ForwardPatternSearch(const std::string& text, const std::string& pattern)
      : _text(text), _pattern(pattern) {}

  // First position at or after `from` where the pattern starts, or npos.
  size_t firstFrom(size_t from) {
    if (!_known || from < _from || (_at != std::string::npos && _at < from)) {
      _at = _text.find(_pattern, from);
      _from = from;
      _known = true;
    }
    return _at;
  }

 private:
  const std::string& _text;
  const std::string& _pattern;
  bool _known = false;
  size_t _from = 0;
  size_t _at = 0;
};

class ForwardUsefulSearch {
 public:
  explicit ForwardUsefulSearch(const std::string& text) : _text(text) {}

  // First position at or after `from` holding a useful byte, or the length.
  size_t firstFrom(size_t from) {
    if (!_known || from < _from || _at < from) {
      const auto start = _text.begin() + static_cast<std::ptrdiff_t>(from);
      _at = static_cast<size_t>(std::find_if(start, _text.end(), std::cref(_useful)) - _text.begin());
      _from = from;
      _known = true;
    }
    return _at;
  }

 private:
  const std::string& _text;
  const UsefulBytes _useful;
  bool _known = false;
  size_t _from = 0;
  size_t _at = 0;
};

// The plain procedure, edit in place and search again from one byte after
// the start tag. Kept for tags that contain "<", where an emptied group
// could bring a new start tag into being across the edit.
void emptyGroupsInPlace(std::string& xml, const std::string& open, const std::string& close) {
  size_t pos = xml.find(open);
  while (pos != std::string::npos) {
    const uint32_t d = static_cast<uint32_t>(xml.find(close, pos) - pos);
    if (d > open.size() && noUsefulData(xml.substr(pos + open.size(), d - open.size()))) {
      xml.replace(pos, d, open);
    }
    pos = xml.find(open, pos + 1);
  }
}

// The same result in one pass. Because the start tag holds a single "<",
// no start tag can begin inside it, so after each decision the text still
// to be examined is an untouched part of the original: the decisions are
// taken on the original text and the result is copied out once.
//
// The distance from a start tag to its end tag is an unsigned 32-bit
// difference taken in the edited text; with no end tag it is
// 0xFFFFFFFF - position, which reaches past the end of any shorter text,
// so everything after the start tag is examined.
void emptyGroupsOnePass(std::string& xml, const std::string& open, const std::string& close) {
  ForwardPatternSearch opens(xml, open);
  ForwardPatternSearch closes(xml, close);
  ForwardUsefulSearch useful(xml);
  std::string out;
  size_t copied = 0;  // xml[0, copied) has been settled into out
  bool edited = false;

  size_t p = opens.firstFrom(0);
  while (p != std::string::npos) {
    const size_t editedPos = out.size() + (p - copied);
    const size_t closeAt = closes.firstFrom(p);
    const size_t editedClose = closeAt == std::string::npos ? closeAt : editedPos + (closeAt - p);
    const uint32_t d = static_cast<uint32_t>(editedClose - editedPos);
    size_t resume = p + 1;
    if (d > open.size()) {
      const size_t from = p + open.size();
      const size_t to = std::min(p + static_cast<size_t>(d), xml.size());
      if (useful.firstFrom(from) >= to) {
        if (!edited) out.reserve(xml.size());
        out.append(xml, copied, from - copied);
        copied = to;
        edited = true;
        resume = std::max(to, resume);
      }
    }
    p = opens.firstFrom(resume);
  }
  if (edited) {
    out.append(xml, copied, std::string::npos);
    xml.swap(out);
  }
}

// Whether utfcpp would find the text valid, answered faster: sale texts are
// mostly ASCII, which is skipped eight bytes at a time; each other sequence
// is measured by its lead byte as utfcpp measures it and handed to utfcpp
// alone.
bool isValidUtf8(const std::string& text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char lead = static_cast<unsigned char>(*p);
    if (lead < 0x80) {
      ++p;
      continue;
    }
    const std::ptrdiff_t length = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || end - p < length || !utf8::is_valid(p, p + length)) return false;
    p += length;
  }
  return true;
}

}  // namespace

void fix_utf8_string(std::string& text) {
  if (isValidUtf8(text)) return;
  std::string repaired;
  repaired.reserve(text.size() + 16);
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(repaired));
  text.swap(repaired);
}

void replacePipeXml(std::string& text) {
  size_t pipe = text.find('|');
  if (pipe == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + 64);
  size_t from = 0;
  for (; pipe != std::string::npos; pipe = text.find('|', from)) {
    out.append(text, from, pipe - from);
    out += kPipeReference;
    from = pipe + 1;
  }
  out.append(text, from, std::string::npos);
  text.swap(out);
}

void removeSpacesOnGroupTag(std::string& xml, const std::string& tag) {
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  if (tag.find('<') == std::string::npos) {
    emptyGroupsOnePass(xml, open, close);
  } else {
    emptyGroupsInPlace(xml, open, close);
  }
}

bool noUsefulData(std::string text) { return str_tolower(text) == str_toupper(text); }

std::string str_toupper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string str_tolower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_number(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

namespace {

// Windows-1252 between 0x80 and 0x9F; 0 where the code page defines no
// character (those bytes then stand for themselves, U+0080 to U+009F).
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool definedInWindows1252(unsigned char byte) {
  return byte < 0x80 || byte > 0x9F || kWindows1252High[byte - 0x80] != 0;
}

// Every byte as the Windows-1252 character it is, in UTF-8. ISO-8859-1 is
// read the same way: its texts come from Windows programs, which write the
// code page's characters (the euro sign, curly quotes) where ISO-8859-1 has
// only control codes.
std::string fromWindows1252(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
      continue;
    }
    char32_t code = byte;
    if (byte <= 0x9F && kWindows1252High[byte - 0x80] != 0) code = kWindows1252High[byte - 0x80];
    utf8::append(code, std::back_inserter(out));
  }
  return out;
}

// The span of the encoding name in the XML declaration at the start of the
// document (after a byte order mark and blanks); npos when there is none.
std::pair<size_t, size_t> declaredEncoding(const std::string& xml) {
  constexpr auto none = std::make_pair(std::string::npos, std::string::npos);
  size_t at = xml.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  at = xml.find_first_not_of(" \t\r\n", at);
  if (at == std::string::npos || xml.compare(at, 5, "<?xml") != 0) return none;
  const size_t end = xml.find("?>", at);
  if (end == std::string::npos) return none;
  size_t name = xml.find("encoding", at);
  if (name == std::string::npos || name > end) return none;
  name = xml.find_first_not_of(" \t\r\n", name + 8);
  if (name == std::string::npos || xml[name] != '=') return none;
  name = xml.find_first_not_of(" \t\r\n", name + 1);
  if (name == std::string::npos || (xml[name] != '"' && xml[name] != '\'')) return none;
  const size_t close = xml.find(xml[name], name + 1);
  if (close == std::string::npos || close > end) return none;
  return {name + 1, close - name - 1};
}

// Whether the text holds at least one well-formed UTF-8 sequence of more
// than one byte: then it is UTF-8 with some damage, not a Windows text.
bool holdsUtf8Sequence(const std::string& text) {
  const auto continuation = [&text](size_t at) {
    return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
  };
  for (size_t at = 0; at < text.size(); ++at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    bool whole = length > 0;
    for (size_t i = 1; whole && i < length; ++i) whole = continuation(at + i);
    if (whole) return true;
  }
  return false;
}

bool namesWindows1252(std::string name) {
  name = str_tolower(name);
  for (const char* known : {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "latin-1", "l1",
                            "windows-1252", "cp1252", "x-cp1252"})
    if (name == known) return true;
  return false;
}

}  // namespace

void transcode_to_utf8(std::string& xml) {
  const auto declared = declaredEncoding(xml);
  const bool declaredLatin = declared.first != std::string::npos &&
                             namesWindows1252(xml.substr(declared.first, declared.second));
  if (!declaredLatin) {
    if (isValidUtf8(xml) || holdsUtf8Sequence(xml)) return;
    if (!std::all_of(xml.begin(), xml.end(),
                     [](char c) { return definedInWindows1252(static_cast<unsigned char>(c)); }))
      return;  // neither: repaired as invalid UTF-8
  }
  if (declaredLatin) xml.replace(declared.first, declared.second, "UTF-8");
  // A byte order mark in front stays one.
  const size_t mark = xml.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  xml = xml.substr(0, mark) + fromWindows1252(xml.substr(mark));
}

void prepare_sale_xml(std::string& xml) {
  transcode_to_utf8(xml);
  fix_utf8_string(xml);
  replacePipeXml(xml);
  removeSpacesOnGroupTag(xml, "dest");
  removeSpacesOnGroupTag(xml, "total");
}
