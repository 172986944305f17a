// SPDX-License-Identifier: MIT
// How long the emulated device takes to answer a sale: judge it, compute
// the CF-e, sign it (XML signature and QR code) and encode the answer.
// The 500-item example sale is the largest a device takes in items.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sat_device.h"

namespace {

std::string oneLine(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string line;
  for (char c : text.str())
    if (c != '\n') line += c;
  return line;
}

void run(benchmark::State& state, const char* file) {
  const std::string request = "2|000001|12345678|" + oneLine(std::string(TIVAX_EXAMPLES_DIR) + "/" + file);
  tivaxemu::SatDevice device("12345678", nullptr);
  std::string error;
  if (!device.open(error)) state.SkipWithError(error.c_str());
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string answer = device.handle(request).line;
    if (answer.compare(7, 5, "06000") != 0) state.SkipWithError(answer.substr(0, 200).c_str());
    bytes = answer.size();
    benchmark::DoNotOptimize(answer);
  }
  state.counters["resposta_bytes"] = static_cast<double>(bytes);
}

void SaleOf500Items(benchmark::State& state) { run(state, "venda-500-itens.xml"); }
void SmallSale(benchmark::State& state) { run(state, "venda-minima.xml"); }

BENCHMARK(SaleOf500Items)->Unit(benchmark::kMillisecond);
BENCHMARK(SmallSale)->Unit(benchmark::kMillisecond);

}  // namespace
