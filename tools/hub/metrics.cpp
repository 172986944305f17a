// SPDX-License-Identifier: MIT
#include "metrics.h"

#include <sstream>

namespace tivaxhub {

constexpr std::array<double, 12> Metrics::kBuckets;

void Metrics::countExchange(const std::string& funcao, const std::string& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++exchanges_[{funcao, outcome}];
}

void Metrics::observeLatency(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) ++buckets_[i];
  ++latencyCount_;
  latencySum_ += seconds;
}

void Metrics::countHttp(int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++http_[status];
}

std::string Metrics::render(std::size_t queueLength, bool linkUp) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  out << "# HELP tivax_hub_trocas_total Trocas com o equipamento, por função e resultado.\n"
         "# TYPE tivax_hub_trocas_total counter\n";
  for (const auto& entry : exchanges_)
    out << "tivax_hub_trocas_total{funcao=\"" << entry.first.first << "\",resultado=\""
        << entry.first.second << "\"} " << entry.second << '\n';
  out << "# HELP tivax_hub_latencia_resposta_segundos Tempo do equipamento para responder.\n"
         "# TYPE tivax_hub_latencia_resposta_segundos histogram\n";
  for (size_t i = 0; i < kBuckets.size(); ++i)
    out << "tivax_hub_latencia_resposta_segundos_bucket{le=\"" << kBuckets[i] << "\"} " << buckets_[i]
        << '\n';
  out << "tivax_hub_latencia_resposta_segundos_bucket{le=\"+Inf\"} " << latencyCount_ << '\n'
      << "tivax_hub_latencia_resposta_segundos_sum " << latencySum_ << '\n'
      << "tivax_hub_latencia_resposta_segundos_count " << latencyCount_ << '\n';
  out << "# HELP tivax_hub_respostas_http_total Respostas HTTP, por código.\n"
         "# TYPE tivax_hub_respostas_http_total counter\n";
  for (const auto& entry : http_)
    out << "tivax_hub_respostas_http_total{codigo=\"" << entry.first << "\"} " << entry.second << '\n';
  out << "# HELP tivax_hub_fila Requisições à espera do equipamento.\n"
         "# TYPE tivax_hub_fila gauge\n"
         "tivax_hub_fila " << queueLength << '\n'
      << "# HELP tivax_hub_equipamento_conectado 1 quando a conexão com o equipamento está aberta.\n"
         "# TYPE tivax_hub_equipamento_conectado gauge\n"
         "tivax_hub_equipamento_conectado " << (linkUp ? 1 : 0) << '\n';
  return out.str();
}

}  // namespace tivaxhub
