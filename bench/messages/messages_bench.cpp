// SPDX-License-Identifier: MIT
// Request lines and answers of megabyte size (sale XML, base64 logs) must
// cost time in proportion to their size. Each benchmark runs at 64 KiB,
// 512 KiB and 2 MiB and reports the time per byte, which stays flat when
// the work is linear.
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "messages/receive_messages.h"
#include "messages/send_messages.h"

namespace {

using namespace Tivaxlib::Transactions::Messages;

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(64 << 10)->Arg(512 << 10)->Arg(2 << 20)->Complexity(benchmark::oN);
}

void perByte(benchmark::State& state) {
  const int64_t bytes = state.range(0);
  state.SetBytesProcessed(state.iterations() * bytes);
  state.SetComplexityN(bytes);
  state.counters["time/byte"] = benchmark::Counter(
      static_cast<double>(bytes), benchmark::Counter::kIsIterationInvariantRate |
                                      benchmark::Counter::kInvert);
}

// Decodes `received` into a fresh answer of type Retorno linked to
// `request`, once per iteration; `kept` names the field the work ends in.
template <class Retorno, class Envio, class Owner>
void decodeEach(benchmark::State& state, const Envio& request, const std::string& received,
                std::string Owner::*kept) {
  for (auto _ : state) {
    Retorno response;
    response.envio = &request;
    std::string text = received;
    response.pushReceivedMessage(text);
    benchmark::DoNotOptimize((response.*kept).data());
  }
  perByte(state);
}

// A sale document of about `bytes` bytes, one short element per line.
std::string saleXml(int64_t bytes) {
  std::string xml = "<CFe>\r\n";
  while (static_cast<int64_t>(xml.size()) < bytes) xml += "\t<det nItem=\"1\"><xProd>Cafe</xProd></det>\n";
  return xml + "</CFe>\n";
}

void BM_EncodeSaleRequest(benchmark::State& state) {
  EnvioEnviarDadosVenda request;
  request.numeroSessao = 42;
  request.codigoDeAtivacao = "12345678";
  request.dadosVenda = saleXml(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(request.pullMessageToSend());
  perByte(state);
}
BENCHMARK(BM_EncodeSaleRequest)->Apply(sizes);

// One answer line carrying a large base64 log, behind the echo.
void BM_DecodeLogAnswer(benchmark::State& state) {
  EnvioExtrairLogs request;
  request.numeroSessao = 42;
  request.codigoDeAtivacao = "12345678";
  const std::string received = "11|000042|12345678\n000042|15000|Transferência completa|0000||" +
                               std::string(static_cast<size_t>(state.range(0)), 'Q') + "\n";
  decodeEach<RetornoExtrairLogs>(state, request, received, &RetornoExtrairLogs::arquivoLog);
}
BENCHMARK(BM_DecodeLogAnswer)->Apply(sizes);

// An answer of many short fields, joined again into dadosStatus.
void BM_DecodeManyFields(benchmark::State& state) {
  EnvioConsultarStatusOperacional request;
  request.numeroSessao = 42;
  std::string received = "000042|10000|Resposta com Sucesso|0000|";
  while (static_cast<int64_t>(received.size()) < state.range(0)) received += "|ab";
  received += "\n";
  decodeEach<RetornoConsultarStatusOperacional>(state, request, received, &RetornoConsultarStatusOperacional::dadosStatus);
}
BENCHMARK(BM_DecodeManyFields)->Apply(sizes);

// The echo of a large multi-line sale, compared field by field, then the
// answer.
void BM_DecodeSaleEcho(benchmark::State& state) {
  EnvioEnviarDadosVenda request;
  request.numeroSessao = 42;
  request.codigoDeAtivacao = "12345678";
  request.dadosVenda = saleXml(state.range(0));
  std::string received;
  for (char c : request.pullMessageToSend())
    if (c != '\n') received += c;
  received += "\n000042|06000|0000|Emitido com sucesso|0000||Q0ZlAA==\n";
  decodeEach<RetornoEnviarDadosVenda>(state, request, received, &RetornoEnviarDadosVenda::arquivoCFeBase64);
}
BENCHMARK(BM_DecodeSaleEcho)->Apply(sizes);

}  // namespace
