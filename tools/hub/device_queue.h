// SPDX-License-Identifier: MIT
// One exchange with the device at a time. Requests wait in one queue per
// checkout and the worker takes the checkouts in turn, so a checkout that
// sends many requests cannot hold the others back; within a checkout they
// go in the order they came.
#ifndef TIVAX_HUB_DEVICE_QUEUE_H
#define TIVAX_HUB_DEVICE_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tivaxhub {

class DeviceQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Work = std::function<void()>;
  struct Ticket;

  enum class Wait {
    Started,   // the work has started (or is done)
    Expired,   // the deadline passed in the queue: withdrawn, it never runs
    Stopping,  // the hub is stopping: withdrawn, it never runs
  };

  // `idle` runs on the worker between works, at most every `idleEvery`
  // (reconnecting, journal rotation).
  DeviceQueue(Work idle, std::chrono::milliseconds idleEvery);
  ~DeviceQueue();
  DeviceQueue(const DeviceQueue&) = delete;
  DeviceQueue& operator=(const DeviceQueue&) = delete;

  void start();
  // Null once stop() has begun.
  // `label` names the work for snapshot() (the function's name).
  std::shared_ptr<Ticket> submit(int caixa, Work work, std::string label = std::string());
  Wait waitStarted(const std::shared_ptr<Ticket>& ticket, Clock::time_point deadline);
  void waitDone(const std::shared_ptr<Ticket>& ticket);

  // Requests waiting, not counting the one on the wire.
  std::size_t length() const;

  // What is queued and under way, for the page: the work on the wire
  // first (running), then the waiting work, checkout by checkout in the
  // order their turns come.
  struct Entry {
    int caixa = 0;
    std::string label;
    Clock::time_point since;  // queued at, or started at when running
    bool running = false;
  };
  std::vector<Entry> snapshot() const;

  // Refuses new work and withdraws what waits; the work under way ends
  // first. Idempotent.
  void stop();

 private:
  void run();
  bool withdrawLocked(const std::shared_ptr<Ticket>& ticket);

  Work idle_;
  std::chrono::milliseconds idleEvery_;
  mutable std::mutex mutex_;
  std::condition_variable workReady_;
  std::condition_variable progress_;
  std::map<int, std::deque<std::shared_ptr<Ticket>>> waiting_;
  std::deque<int> turn_;  // checkouts with waiting work, in serving order
  std::size_t length_ = 0;
  std::shared_ptr<Ticket> running_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace tivaxhub

#endif
