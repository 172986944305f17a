// SPDX-License-Identifier: MIT
// The hub's own minute-by-minute counters for the last hour: requests by
// outcome, the device's answer times, refused sales and journal write
// failures. They feed the page's charts and alerts.
#ifndef TIVAX_HUB_ACTIVITY_H
#define TIVAX_HUB_ACTIVITY_H

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tivaxhub {

enum class Outcome {
  Answered,     // the device answered with success
  Refused,      // the device answered with an error code
  Invalid,      // the library gave the invalid result
  Unreachable,  // the device could not be reached (or the wait ran out)
};

// How a device's answer line came out: a success code (xx000, and the
// certificate request's 04006) or a refusal.
Outcome outcomeOfLine(const std::string& line);

class Activity {
 public:
  static constexpr int kMinutes = 60;

  // `latencySeconds` < 0: the request never reached the device.
  void record(const std::string& funcao, Outcome outcome, double latencySeconds, std::int64_t nowMs);
  void journalFailure(std::int64_t nowMs);
  // The last sale the device accepted (ms since the epoch; 0: none).
  void saleAccepted(std::int64_t whenMs);
  std::int64_t lastSale() const;
  std::uint64_t journalFailures() const;
  std::uint64_t refusedSales() const;

  struct Minute {
    std::int64_t inicio = 0;  // ms since the epoch
    std::array<std::uint64_t, 4> outcomes{};
    double mediana = -1, p95 = -1;  // seconds; -1: no answer that minute
  };
  // The last kMinutes minutes, oldest first, the current one last.
  std::vector<Minute> lastHour(std::int64_t nowMs) const;
  std::uint64_t refusedSalesLastHour(std::int64_t nowMs) const;
  std::uint64_t journalFailuresLastHour(std::int64_t nowMs) const;

 private:
  struct Bucket {
    std::int64_t minute = -1;  // minutes since the epoch
    std::array<std::uint64_t, 4> outcomes{};
    std::vector<float> latencies;
    std::uint64_t refusedSales = 0;
    std::uint64_t journalFailures = 0;
  };
  Bucket& bucketLocked(std::int64_t nowMs);
  std::uint64_t sumLastHour(std::uint64_t Bucket::*counter, std::int64_t nowMs) const;

  mutable std::mutex mutex_;
  std::array<Bucket, kMinutes> buckets_{};
  std::int64_t lastSale_ = 0;
  std::uint64_t journalFailures_ = 0;
  std::uint64_t refusedSales_ = 0;
};

// The q-quantile (0..1) of the values, by the nearest rank; -1 when empty.
double quantile(std::vector<float> values, double q);

}  // namespace tivaxhub

#endif
