// SPDX-License-Identifier: MIT
// The sale check against the parse it starts with: parse alone, walk alone
// and the whole check, on sales of 100, 250 and 500 items cut from the
// 500-item example; and the cleaning of the sale text, on the example and
// on large texts full of "dest" start tags.
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include "cfe/cfe_007_verify.h"
#include "cfe/sale_check.h"
#include "cfe/sale_text.h"

namespace {

const unsigned int kParseOptions = pugi::parse_pi | pugi::parse_cdata | pugi::parse_escapes |
                                   pugi::parse_eol | pugi::parse_doctype |
                                   pugi::parse_ws_pcdata_single;

std::string readExample(const std::string& name) {
  std::ifstream in(std::string(TIVAX_EXAMPLES_DIR) + "/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + name);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The 500-item example keeping its first `items` items.
std::string saleWithItems(size_t items) {
  const std::string full = readExample("venda-500-itens.xml");
  const std::string close = "</det>\n";
  size_t end = full.find("    <det ");
  for (size_t i = 0; i < items; ++i) end = full.find(close, end) + close.size();
  return full.substr(0, end) + full.substr(full.rfind(close) + close.size());
}

void parse(benchmark::State& state) {
  const std::string sale = saleWithItems(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    pugi::xml_document document;
    benchmark::DoNotOptimize(document.load_buffer(sale.data(), sale.size(), kParseOptions, pugi::encoding_utf8));
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sale.size()));
}

void walk(benchmark::State& state) {
  const std::string sale = saleWithItems(static_cast<size_t>(state.range(0)));
  pugi::xml_document document;
  document.load_buffer(sale.data(), sale.size(), kParseOptions, pugi::encoding_utf8);
  for (auto _ : state) {
    cfe_007_verify walker;
    document.traverse(walker);
    if (!walker._ok) state.SkipWithError("example refused");
  }
  state.SetComplexityN(state.range(0));
}

void check(benchmark::State& state) {
  const std::string sale = saleWithItems(static_cast<size_t>(state.range(0)));
  std::string detail;
  for (auto _ : state) {
    if (!check_sale_xml(sale, detail)) state.SkipWithError("example refused");
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sale.size()));
}

void prepare(benchmark::State& state) {
  const std::string sale = readExample("venda-500-itens.xml");
  for (auto _ : state) {
    std::string text = sale;
    prepare_sale_xml(text);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sale.size()));
}

// Emptying groups in a text made of one piece repeated up to the size asked.
void emptyGroups(benchmark::State& state, const std::string& piece) {
  std::string text;
  while (text.size() < static_cast<size_t>(state.range(0))) text += piece;
  for (auto _ : state) {
    std::string copy = text;
    removeSpacesOnGroupTag(copy, "dest");
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Start tags without end tags, each looking at everything after it: the
// case that costs a rescan per start tag when done naively.
void emptyGroupsUnclosed(benchmark::State& state) { emptyGroups(state, "<dest>"); }

// Blank groups one after the other: every one is emptied.
void emptyGroupsBlank(benchmark::State& state) { emptyGroups(state, "<dest> \n </dest>"); }

}  // namespace

BENCHMARK(parse)->Arg(100)->Arg(250)->Arg(500)->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond);
BENCHMARK(walk)->Arg(100)->Arg(250)->Arg(500)->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond);
BENCHMARK(check)->Arg(100)->Arg(250)->Arg(500)->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond);
BENCHMARK(prepare)->Unit(benchmark::kMicrosecond);
BENCHMARK(emptyGroupsUnclosed)->Arg(1 << 20)->Arg(1 << 23)->Arg(50 << 20)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
BENCHMARK(emptyGroupsBlank)->Arg(1 << 20)->Arg(1 << 23)->Arg(50 << 20)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);
