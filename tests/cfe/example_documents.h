// SPDX-License-Identifier: MIT
// The example sale documents kept with the sources, and small builders of
// test documents.
#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

inline std::string readExample(const std::string& name) {
  const std::string path = std::string(TIVAX_EXAMPLES_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The sale with one more item appended after the last one.
inline std::string withExtraItem(std::string sale) {
  const std::string open = "    <det nItem=\"";
  const std::string close = "</det>\n";
  const size_t first = sale.find(open);
  const size_t firstEnd = sale.find(close, first) + close.size();
  const size_t last = sale.rfind(close) + close.size();
  sale.insert(last, sale.substr(first, firstEnd - first));
  return sale;
}

inline std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}
