// SPDX-License-Identifier: MIT
#include "device_queue.h"

#include <algorithm>
#include <exception>
#include <string>

#include "operations_log.h"

namespace tivaxhub {

struct DeviceQueue::Ticket {
  enum class State { Queued, Running, Done, Withdrawn };
  int caixa = 0;
  Work work;
  std::string label;
  Clock::time_point since = Clock::now();
  State state = State::Queued;
  bool byStop = false;
};

DeviceQueue::DeviceQueue(Work idle, std::chrono::milliseconds idleEvery)
    : idle_(std::move(idle)), idleEvery_(idleEvery) {}

DeviceQueue::~DeviceQueue() { stop(); }

void DeviceQueue::start() { worker_ = std::thread([this] { run(); }); }

std::shared_ptr<DeviceQueue::Ticket> DeviceQueue::submit(int caixa, Work work, std::string label) {
  auto ticket = std::make_shared<Ticket>();
  ticket->caixa = caixa;
  ticket->work = std::move(work);
  ticket->label = std::move(label);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return nullptr;
    auto& line = waiting_[caixa];
    if (line.empty()) turn_.push_back(caixa);
    line.push_back(ticket);
    ++length_;
  }
  workReady_.notify_one();
  return ticket;
}

bool DeviceQueue::withdrawLocked(const std::shared_ptr<Ticket>& ticket) {
  if (ticket->state != Ticket::State::Queued) return false;
  auto line = waiting_.find(ticket->caixa);
  if (line != waiting_.end()) {
    line->second.erase(std::remove(line->second.begin(), line->second.end(), ticket), line->second.end());
    if (line->second.empty()) {
      waiting_.erase(line);
      turn_.erase(std::remove(turn_.begin(), turn_.end(), ticket->caixa), turn_.end());
    }
  }
  ticket->state = Ticket::State::Withdrawn;
  --length_;
  return true;
}

DeviceQueue::Wait DeviceQueue::waitStarted(const std::shared_ptr<Ticket>& ticket,
                                           Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  progress_.wait_until(lock, deadline, [&] { return ticket->state != Ticket::State::Queued; });
  if (ticket->state == Ticket::State::Queued) withdrawLocked(ticket);
  if (ticket->state == Ticket::State::Withdrawn) return ticket->byStop ? Wait::Stopping : Wait::Expired;
  return Wait::Started;
}

void DeviceQueue::waitDone(const std::shared_ptr<Ticket>& ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  progress_.wait(lock, [&] {
    return ticket->state == Ticket::State::Done || ticket->state == Ticket::State::Withdrawn;
  });
}

std::size_t DeviceQueue::length() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return length_;
}

std::vector<DeviceQueue::Entry> DeviceQueue::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Entry> entries;
  if (running_) entries.push_back({running_->caixa, running_->label, running_->since, true});
  for (int caixa : turn_) {
    const auto line = waiting_.find(caixa);
    if (line == waiting_.end()) continue;
    for (const auto& ticket : line->second) entries.push_back({ticket->caixa, ticket->label, ticket->since, false});
  }
  return entries;
}

void DeviceQueue::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    while (!turn_.empty()) {
      const std::shared_ptr<Ticket> ticket = waiting_[turn_.front()].front();
      ticket->byStop = true;
      withdrawLocked(ticket);
    }
  }
  progress_.notify_all();
  workReady_.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void DeviceQueue::run() {
  auto lastIdle = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    workReady_.wait_until(lock, lastIdle + idleEvery_, [&] { return stopping_ || !turn_.empty(); });
    if (stopping_) break;
    // Upkeep runs between works even when the queue never empties.
    if (Clock::now() >= lastIdle + idleEvery_) {
      lock.unlock();
      if (idle_) idle_();
      lock.lock();
      lastIdle = Clock::now();
      continue;
    }
    if (turn_.empty()) continue;
    const int caixa = turn_.front();
    turn_.pop_front();
    auto& line = waiting_[caixa];
    const std::shared_ptr<Ticket> ticket = line.front();
    line.pop_front();
    if (line.empty())
      waiting_.erase(caixa);
    else
      turn_.push_back(caixa);
    --length_;
    ticket->state = Ticket::State::Running;
    ticket->since = Clock::now();  // from now on: since when it is on the wire
    running_ = ticket;
    lock.unlock();
    progress_.notify_all();
    // A work that throws must not take the worker, and with it every
    // later request, down; its caller sees it as never carried out.
    try {
      ticket->work();
    } catch (const std::exception& error) {
      logMessage(std::string("erro interno na troca com o equipamento: ") + error.what());
    } catch (...) {
      logMessage("erro interno na troca com o equipamento");
    }
    lock.lock();
    ticket->state = Ticket::State::Done;
    ticket->work = nullptr;
    running_.reset();
    progress_.notify_all();
  }
}

}  // namespace tivaxhub
