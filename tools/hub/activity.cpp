// SPDX-License-Identifier: MIT
#include "activity.h"

#include <algorithm>
#include <cmath>

namespace tivaxhub {

namespace {

// Samples kept per minute for the quantiles: enough for any real shop,
// and a bound on memory for a runaway client.
const std::size_t kMaxSamplesPerMinute = 20000;

std::int64_t minuteOf(std::int64_t ms) { return ms >= 0 ? ms / 60000 : (ms - 59999) / 60000; }

}  // namespace

Outcome outcomeOfLine(const std::string& line) {
  const size_t first = line.find('|');
  if (first == std::string::npos) return Outcome::Refused;
  const std::string code = line.substr(first + 1, line.find('|', first + 1) - first - 1);
  if (code.size() == 5 && (code.compare(2, 3, "000") == 0 || code == "04006")) return Outcome::Answered;
  return Outcome::Refused;
}

double quantile(std::vector<float> values, double q) {
  if (values.empty()) return -1;
  const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
  const size_t index = rank == 0 ? 0 : std::min(rank, values.size()) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index];
}

Activity::Bucket& Activity::bucketLocked(std::int64_t nowMs) {
  const std::int64_t minute = minuteOf(nowMs);
  Bucket& bucket = buckets_[static_cast<size_t>(((minute % kMinutes) + kMinutes) % kMinutes)];
  if (bucket.minute != minute) bucket = Bucket{minute, {}, {}, 0, 0};
  return bucket;
}

void Activity::record(const std::string& funcao, Outcome outcome, double latencySeconds, std::int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Bucket& bucket = bucketLocked(nowMs);
  ++bucket.outcomes[static_cast<size_t>(outcome)];
  if (latencySeconds >= 0 && bucket.latencies.size() < kMaxSamplesPerMinute)
    bucket.latencies.push_back(static_cast<float>(latencySeconds));
  if (funcao == "EnviarDadosVenda" && outcome == Outcome::Refused) {
    ++bucket.refusedSales;
    ++refusedSales_;
  }
}

void Activity::journalFailure(std::int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++bucketLocked(nowMs).journalFailures;
  ++journalFailures_;
}

void Activity::saleAccepted(std::int64_t whenMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastSale_ = std::max(lastSale_, whenMs);
}

std::int64_t Activity::lastSale() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastSale_;
}

std::uint64_t Activity::journalFailures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return journalFailures_;
}

std::uint64_t Activity::refusedSales() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusedSales_;
}

std::vector<Activity::Minute> Activity::lastHour(std::int64_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t current = minuteOf(nowMs);
  std::vector<Minute> minutes;
  for (std::int64_t m = current - kMinutes + 1; m <= current; ++m) {
    Minute minute;
    minute.inicio = m * 60000;
    const Bucket& bucket = buckets_[static_cast<size_t>(((m % kMinutes) + kMinutes) % kMinutes)];
    if (bucket.minute == m) {
      minute.outcomes = bucket.outcomes;
      minute.mediana = quantile(bucket.latencies, 0.5);
      minute.p95 = quantile(bucket.latencies, 0.95);
    }
    minutes.push_back(minute);
  }
  return minutes;
}

std::uint64_t Activity::sumLastHour(std::uint64_t Bucket::*counter, std::int64_t nowMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t current = minuteOf(nowMs);
  std::uint64_t total = 0;
  for (const Bucket& bucket : buckets_)
    if (bucket.minute > current - kMinutes && bucket.minute <= current) total += bucket.*counter;
  return total;
}

std::uint64_t Activity::refusedSalesLastHour(std::int64_t nowMs) const {
  return sumLastHour(&Bucket::refusedSales, nowMs);
}

std::uint64_t Activity::journalFailuresLastHour(std::int64_t nowMs) const {
  return sumLastHour(&Bucket::journalFailures, nowMs);
}

}  // namespace tivaxhub
