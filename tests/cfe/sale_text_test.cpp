// SPDX-License-Identifier: MIT
#include <cctype>
#include <cstdint>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <utf8.h>

#include "cfe/sale_text.h"

namespace {

struct TextCase {
  std::string in;
  std::string out;
};

TEST(ReplacePipeXml, EveryPipeBecomesAReference) {
  const TextCase cases[] = {
      {"a|b", "a&#x7c;b"},
      {"||", "&#x7c;&#x7c;"},
      {"|x|", "&#x7c;x&#x7c;"},
      {"<a b=\"1|2\"/>", "<a b=\"1&#x7c;2\"/>"},
      {"<!-- a | b -->", "<!-- a &#x7c; b -->"},
      {"sem barra", "sem barra"},
      {"", ""},
  };
  for (const TextCase& c : cases) {
    std::string text = c.in;
    replacePipeXml(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(FixUtf8String, ReplacesEachInvalidSequence) {
  const TextCase cases[] = {
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      {"\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"fim\xC3", "fim\xEF\xBF\xBD"},
      {"Café São Paulo €", "Café São Paulo €"},
      {"", ""},
  };
  for (const TextCase& c : cases) {
    std::string text = c.in;
    fix_utf8_string(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

// The quick validity scan must agree with utfcpp on every text: random
// bytes, mostly ASCII with runs of lead and continuation bytes.
TEST(FixUtf8String, AgreesWithUtfcpp) {
  const unsigned char bytes[] = {'a', '<', ' ', 0x7F, 0x80, 0xBF, 0xC0, 0xC3, 0xA9, 0xDF,
                                 0xE0, 0xE2, 0x82, 0xAC, 0xED, 0xA0, 0xF0, 0x9F, 0xF4, 0xF8, 0xFF};
  std::mt19937 generator(77u);
  std::uniform_int_distribution<size_t> pick(0, std::size(bytes) - 1);
  std::uniform_int_distribution<int> ascii(0, 20);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int n = round % 40; n > 0; --n) {
      text.append(static_cast<size_t>(ascii(generator) > 15 ? ascii(generator) : 0), 'x');
      text += static_cast<char>(bytes[pick(generator)]);
    }
    const std::string expected = utf8::replace_invalid(text);
    fix_utf8_string(text);
    ASSERT_EQ(text, expected);
  }
}

struct GroupCase {
  const char* tag;
  std::string in;
  std::string out;
};

TEST(RemoveSpacesOnGroupTag, EmptiesGroupsWithoutUsefulData) {
  const GroupCase cases[] = {
      {"dest", "<dest>\n    </dest>", "<dest></dest>"},
      {"total", "<total>12.50</total>", "<total></total>"},
      {"dest", "<a><dest> </dest><b/><dest>\t1</dest></a>", "<a><dest></dest><b/><dest></dest></a>"},
      // In the "C" locale bytes from 0x80 up have no case.
      {"dest", "<dest>\xC3\xA9</dest>", "<dest></dest>"},
      // Letters, including those of inner tag names, are useful data.
      {"dest", "<dest><CPF>123</CPF></dest>", "<dest><CPF>123</CPF></dest>"},
      {"dest", "<dest> x </dest>", "<dest> x </dest>"},
      // Only the exact start tag matches.
      {"dest", "<dest/>", "<dest/>"},
      {"dest", "<dest></dest>", "<dest></dest>"},
      {"dest", "<dest > </dest>", "<dest > </dest>"},
      {"dest", "<dest a=\"1\"> </dest>", "<dest a=\"1\"> </dest>"},
      {"dest", "<destino> </destino>", "<destino> </destino>"},
      // No end tag after the start tag: the rest of the text is the content.
      {"dest", "<a><dest>\n  123 ", "<a><dest>"},
      {"dest", "<a><dest> b", "<a><dest> b"},
      {"dest", "</dest><dest>  ", "</dest><dest>"},
      {"dest", "<dest>", "<dest>"},
      // The outer content holds the inner tag's letters; the inner one is blank.
      {"dest", "<dest> <dest> </dest></dest>", "<dest> <dest></dest></dest>"},
      // A tag without letters: emptying the outer group removes the inner
      // start tag, which is then never visited.
      {"1", "<1> <1> </1>x</1>", "<1></1>x</1>"},
      {"", "<>  </>", "<></>"},
      // Tags holding "<" take the edit-in-place road.
      {"<", "<<> </<>", "<<></<>"},
      {"total", "", ""},
  };
  for (const GroupCase& c : cases) {
    std::string xml = c.in;
    removeSpacesOnGroupTag(xml, c.tag);
    EXPECT_EQ(xml, c.out) << c.tag << ": " << c.in;
  }
}

// The procedure as first described: edit in place, search again one byte
// after the start tag. The one-pass version must agree with it everywhere.
void referenceRemove(std::string& xml, const std::string& tag) {
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  size_t pos = xml.find(open);
  while (pos != std::string::npos) {
    const uint32_t d = static_cast<uint32_t>(xml.find(close, pos) - pos);
    if (d > open.size()) {
      const std::string content = xml.substr(pos + open.size(), d - open.size());
      bool useful = false;
      for (const char c : content) {
        const int b = static_cast<unsigned char>(c);
        useful = useful || std::toupper(b) != std::tolower(b);
      }
      if (!useful) xml.replace(pos, d, open);
    }
    pos = xml.find(open, pos + 1);
  }
}

TEST(RemoveSpacesOnGroupTag, AgreesWithTheInPlaceProcedure) {
  const std::string pieces[] = {"<dest>", "</dest>", "<1>", "</1>", "<>", "</>", " ", "\n", "7",
                                "a",      "<",       ">",   "/",    "\xC3\xA9"};
  std::mt19937 generator(20240611u);
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (int n = length(generator); n > 0; --n) text += pieces[pick(generator)];
    for (const char* tag : {"dest", "1", ""}) {
      std::string expected = text;
      referenceRemove(expected, tag);
      std::string actual = text;
      removeSpacesOnGroupTag(actual, tag);
      ASSERT_EQ(actual, expected) << "tag " << tag << ": " << text;
    }
  }
}

// Texts with hundreds of thousands of start tags: the result is right and
// the work stays proportional to the length (a rescan per start tag would
// not finish).
TEST(RemoveSpacesOnGroupTag, LargeTexts) {
  const size_t count = 400000;
  std::string unclosed;
  for (size_t i = 0; i < count; ++i) unclosed += "<dest>";
  std::string expected = unclosed;
  unclosed += " 1 ";
  removeSpacesOnGroupTag(unclosed, "dest");
  EXPECT_EQ(unclosed, expected);

  std::string blank;
  std::string emptied;
  for (size_t i = 0; i < count; ++i) {
    blank += "<dest> </dest>";
    emptied += "<dest></dest>";
  }
  removeSpacesOnGroupTag(blank, "dest");
  EXPECT_EQ(blank, emptied);
}

TEST(TextHelpers, CaseAndDigits) {
  EXPECT_EQ(str_toupper("aBc1é"), "ABC1é");
  EXPECT_EQ(str_tolower("AbC1É"), "abc1É");
  EXPECT_TRUE(noUsefulData(" \n\t0.12-/<>"));
  EXPECT_TRUE(noUsefulData(""));
  EXPECT_FALSE(noUsefulData(" 1a "));

  const struct {
    const char* text;
    bool number;
  } numbers[] = {{"", false}, {"0123", true}, {"12a", false}, {"-1", false}, {" 1", false}, {"7", true}};
  for (const auto& n : numbers) EXPECT_EQ(is_number(n.text), n.number) << n.text;
}

TEST(PrepareSaleXml, CleansInOrder) {
  const TextCase cases[] = {
      // The reference a pipe becomes holds a letter, so the group is kept.
      {"<dest>|</dest>", "<dest>&#x7c;</dest>"},
      // The repaired byte (0x81: no character in UTF-8 nor in Windows-1252)
      // has no case, so the group is emptied.
      {"<dest>\x81</dest>", "<dest></dest>"},
      {"<dest>\n</dest><total>\n 10.00\n</total>", "<dest></dest><total></total>"},
      {"<dest><CPF>1</CPF></dest><total/>", "<dest><CPF>1</CPF></dest><total/>"},
      {"<infAdic><infCpl>a|b\x81</infCpl></infAdic>", "<infAdic><infCpl>a&#x7c;b\xEF\xBF\xBD</infCpl></infAdic>"},
  };
  for (const TextCase& c : cases) {
    std::string text = c.in;
    prepare_sale_xml(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

// Sales from Windows tills: a declared ISO-8859-1 or Windows-1252 document
// is transcoded and says UTF-8; an undeclared one that is not UTF-8 but is
// Windows-1252 as a whole is read as such; UTF-8 with some damage is only
// repaired.
TEST(TranscodeToUtf8, WindowsTextsBecomeUtf8) {
  const TextCase cases[] = {
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><xProd>Caf\xe9 mo\xed" "do</xProd>",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><xProd>Café moído</xProd>"},
      {"<?xml version='1.0' encoding='windows-1252'?><x>\x80 5,00 \x93" "a\xe7\xfa" "car\x94</x>",
       "<?xml version='1.0' encoding='UTF-8'?><x>€ 5,00 “açúcar”</x>"},
      {"\xEF\xBB\xBF <?xml encoding = \"latin1\" ?><x>p\xe3o</x>",
       "\xEF\xBB\xBF <?xml encoding = \"UTF-8\" ?><x>pão</x>"},
      // Undeclared, or declared UTF-8, but Windows-1252 as a whole.
      {"<xProd>Caf\xe9 com a\xe7\xfa" "car</xProd>", "<xProd>Café com açúcar</xProd>"},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><x>Jo\xe3o</x>",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><x>João</x>"},
      // Valid UTF-8, or UTF-8 with a damaged byte, or a byte no code page
      // has: left for the repair.
      {"<x>Café</x>", "<x>Café</x>"},
      {"<x>Caf\xff moído</x>", "<x>Caf\xff moído</x>"},
      {"<x>Caf\x81</x>", "<x>Caf\x81</x>"},
      {"<x>encoding=\"ISO-8859-1\" \xe9</x>", "<x>encoding=\"ISO-8859-1\" é</x>"},
  };
  for (const TextCase& c : cases) {
    std::string text = c.in;
    transcode_to_utf8(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

}  // namespace
