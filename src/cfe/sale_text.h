// SPDX-License-Identifier: MIT
// Text clean-up applied to the sale and cancellation XML before they go to
// the device, and a few small text helpers. All texts are byte strings;
// lengths and positions are in bytes.
#pragma once

#include <string>

// Replaces every invalid UTF-8 sequence by U+FFFD (EF BF BD), one
// replacement per invalid sequence; valid text is left as it is.
void fix_utf8_string(std::string& text);

// "|" separates the fields of a request line, so none may remain in the
// XML: every one becomes the character reference "&#x7c;", wherever it
// stands (text, attribute values, comments).
void replacePipeXml(std::string& text);

// Empties each "<tag>...</tag>" whose content has no useful data (see
// noUsefulData), leaving "<tag></tag>". Only the exact start tag "<tag>"
// matches: "<tag/>", "<tag >" and a start tag with attributes are left
// alone. A start tag with no end tag after it has everything that follows
// removed when that has no useful data.
void removeSpacesOnGroupTag(std::string& xml, const std::string& tag);

// true when no byte of the text is changed by the C library's toupper or
// tolower in the current locale: whitespace, digits and punctuation only
// (and, in the "C" locale, bytes from 0x80 up).
bool noUsefulData(std::string text);

std::string str_toupper(std::string text);
std::string str_tolower(std::string text);

// true for a non-empty text of ASCII digits only.
bool is_number(const std::string& text);

// A document whose XML declaration names ISO-8859-1 or Windows-1252 is
// transcoded to UTF-8, its declaration rewritten to say so; one that is not
// valid UTF-8 but is valid Windows-1252 as a whole, and holds no
// well-formed UTF-8 sequence of two bytes or more, is read as
// Windows-1252. Anything else (UTF-8 with some damage) is left for the
// UTF-8 repair.
void transcode_to_utf8(std::string& xml);

// The cleaning every sale and cancellation text gets, in this order:
// transcoding, UTF-8 repair, pipes, then the blank "dest" and "total"
// groups emptied.
void prepare_sale_xml(std::string& xml);
