// SPDX-License-Identifier: MIT
// Counters for monitoring, written in the Prometheus text format: exchanges
// by function and outcome, the device's answer latency, HTTP answers by
// status, the queue length and whether the device link is up.
#ifndef TIVAX_HUB_METRICS_H
#define TIVAX_HUB_METRICS_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tivaxhub {

class Metrics {
 public:
  // outcome: "resposta", "invalido", "inacessivel", "prazo", "recuperada", ...
  void countExchange(const std::string& funcao, const std::string& outcome);
  void observeLatency(double seconds);
  void countHttp(int status);

  std::string render(std::size_t queueLength, bool linkUp) const;

 private:
  static constexpr std::array<double, 12> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1,  0.25,
                                                      0.5,   1,    2.5,   5,    10,   30};
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> exchanges_;
  std::array<std::uint64_t, kBuckets.size()> buckets_{};
  std::uint64_t latencyCount_ = 0;
  double latencySum_ = 0;
  std::map<int, std::uint64_t> http_;
};

}  // namespace tivaxhub

#endif
