// SPDX-License-Identifier: MIT
#include "comm/waits.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "log/reason.h"
#include "log/text_format.h"
#include "log/trace.h"

namespace Tivaxlib {
namespace Comm {

namespace {

// ---- the set-up event --------------------------------------------------------

std::atomic<unsigned> generation{0};
std::atomic<int> pendingSetups{0};

// Made once per process and kept for its life; its value is non-zero
// exactly while announcements are pending.
std::atomic<int> eventFd{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

int eventDescriptor() { return eventFd.load(std::memory_order_acquire); }

std::mutex* announcementLock = new std::mutex;

std::mutex& announcementMutex() { return *announcementLock; }

// In the child of a fork: the parent's event and its pending set-ups are
// not the child's. The child starts with an event of its own, no set-up
// pending, and a lock no other thread can hold (the threads that could
// have held it were not copied).
void afterForkInChild() {
  const int inheritedFd = eventFd.load(std::memory_order_relaxed);
  eventFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), std::memory_order_release);
  if (inheritedFd >= 0) close(inheritedFd);
  pendingSetups.store(0);
  announcementLock = new std::mutex;
  generation.fetch_add(1);
}

const bool forkHandlerInstalled = pthread_atfork(nullptr, nullptr, afterForkInChild) == 0;

std::atomic<const char*> announcer{""};
thread_local int setupsOnThisThread = 0;

// ---- the answer timeout ------------------------------------------------------

constexpr char kTimeoutVariable[] = "TIVAX_TIMEOUT";
// About 31 years: longer limits are taken as this one, which keeps every
// deadline inside the clock's range.
constexpr long long kLongestTimeoutSeconds = 1000000000LL;

std::once_flag timeoutRead;
std::atomic<long long> timeoutNs{0};
// Set in-process (setAnswerTimeout): the environment is no longer read.
std::atomic<bool> timeoutSetInProcess{false};

void readTimeoutFromEnvironment() {
  if (timeoutSetInProcess) return;
  const char* text = std::getenv(kTimeoutVariable);
  if (text == nullptr) {
    timeoutNs.store(0, std::memory_order_relaxed);
    return;
  }
  std::chrono::nanoseconds limit{0};
  if (parseTimeout(text, limit)) {
    timeoutNs.store(limit.count(), std::memory_order_relaxed);
    return;
  }
  Log::diagnostic(Log::formatText(
      "SerialPort::answerTimeout: Ignoring %s=%s (expected seconds, such as 2.5)\n",
      kTimeoutVariable, text));
}

}  // namespace

Deadline Deadline::in(std::chrono::nanoseconds limit) {
  Deadline deadline;
  if (limit.count() <= 0) return deadline;
  deadline.limited_ = true;
  deadline.at_ = Clock::now() + limit;
  return deadline;
}

Deadline Deadline::earlier(const Deadline& a, const Deadline& b) {
  if (!a.limited_) return b;
  if (!b.limited_) return a;
  return a.at_ <= b.at_ ? a : b;
}

int Deadline::pollTimeoutMs() const {
  if (!limited_) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

SetupAnnouncement::SetupAnnouncement() {
  ++setupsOnThisThread;
  announcer.store(Log::currentCall(), std::memory_order_relaxed);
  const std::lock_guard<std::mutex> lock(announcementMutex());
  if (pendingSetups.fetch_add(1) == 0 && eventDescriptor() >= 0) {
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which one write never reaches.
    while (write(eventDescriptor(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

void SetupAnnouncement::withdraw() {
  if (withdrawn_) return;
  withdrawn_ = true;
  {
    const std::lock_guard<std::mutex> lock(announcementMutex());
    if (pendingSetups.fetch_sub(1) == 1 && eventDescriptor() >= 0) {
      std::uint64_t value = 0;
      // Resets the counter to zero: the event is no longer readable.
      while (read(eventDescriptor(), &value, sizeof value) < 0 && errno == EINTR) {
      }
    }
  }
  --setupsOnThisThread;
}

bool cancelRequested() {
  // A set-up's own waits (for another process's turn on the port, say) end
  // only for another set-up, announced after it.
  return pendingSetups.load(std::memory_order_acquire) > setupsOnThisThread;
}

bool runningSetup() { return setupsOnThisThread > 0; }

int setupEventDescriptor() { return eventDescriptor(); }

unsigned forkGeneration() {
  static_cast<void>(forkHandlerInstalled);
  return generation.load(std::memory_order_relaxed);
}

const char* cancellingSetup() {
  const char* name = announcer.load(std::memory_order_relaxed);
  return *name ? name : "uma função de configuração";
}

void noteCancelled() {
  Log::noteReason(Log::Reason(Log::ReasonKind::Cancelled).saying(cancellingSetup()));
  if (Log::tracing())
    Log::trace("cancel", std::string("the wait for the device ends: ") + cancellingSetup() +
                             " asked for the link");
}

std::chrono::nanoseconds answerTimeout() {
  std::call_once(timeoutRead, readTimeoutFromEnvironment);
  return std::chrono::nanoseconds(timeoutNs.load(std::memory_order_relaxed));
}

void rereadAnswerTimeout() {
  std::call_once(timeoutRead, [] {});
  readTimeoutFromEnvironment();
}

void setAnswerTimeout(std::chrono::nanoseconds limit) {
  // Read the environment first, so that it never overrides this later.
  std::call_once(timeoutRead, readTimeoutFromEnvironment);
  timeoutSetInProcess = true;
  timeoutNs.store(limit.count() > 0 ? limit.count() : 0, std::memory_order_relaxed);
}

bool parseTimeout(const std::string& text, std::chrono::nanoseconds& limit) {
  long long seconds = 0;
  long long fractionNs = 0;
  long long scale = 100000000;  // the weight of the first decimal, in ns
  bool digits = false;
  bool point = false;
  bool belowResolution = false;  // non-zero decimals past the nanosecond
  for (const char c : text) {
    // A decimal comma, as Brazilian programs write numbers, counts too.
    if (c == '.' || c == ',') {
      if (point) return false;
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    digits = true;
    const int digit = c - '0';
    if (!point) {
      seconds = seconds * 10 + digit;
      if (seconds > kLongestTimeoutSeconds) seconds = kLongestTimeoutSeconds;
    } else if (scale > 0) {
      fractionNs += digit * scale;
      scale /= 10;
    } else if (digit != 0) {
      belowResolution = true;
    }
  }
  if (!digits && !text.empty()) return false;  // "." alone
  long long ns = seconds * 1000000000LL + fractionNs;
  // A value above zero stays above zero, however small.
  if (ns == 0 && belowResolution) ns = 1;
  limit = std::chrono::nanoseconds(ns);
  return true;
}

}  // namespace Comm
}  // namespace Tivaxlib
