// SPDX-License-Identifier: MIT
// The hub proper, apart from HTTP: it holds the activation code and the
// device link, draws session numbers, journals every request and answer,
// and answers a repeated request id from the journal instead of carrying
// the request out twice.
#ifndef TIVAX_HUB_HUB_H
#define TIVAX_HUB_HUB_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>

#include "activity.h"
#include "config.h"
#include "device_health.h"
#include "device_link.h"
#include "device_queue.h"
#include "fields.h"
#include "journal.h"
#include "metrics.h"

namespace tivaxemu {
class Emulator;
}

namespace tivaxhub {

struct HubReply {
  int status = 200;
  nlohmann::ordered_json body;
};

// Where a request came from, for the journal.
struct RequestOrigin {
  std::string cliente;
  std::int64_t tamanho = 0;
};

class Hub {
 public:
  // A new activation code is written back to `configPath` ("": kept in
  // memory only).
  Hub(HubConfig config, std::string configPath);
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Opens the journal, starts the emulator when asked, connects the device
  // and starts serving the queue. False, with the reason in *error, when
  // the hub cannot run; a device that cannot be reached is not one: the hub
  // keeps trying to reconnect.
  bool start(bool emulator, std::string* error);
  // Withdraws what waits in the queue and lets the exchange under way end;
  // later calls are refused. Idempotent.
  void stopQueue();
  // stopQueue(), then closes the link and stops the emulator.
  void stop();

  HubReply call(const HubRequest& incoming, const RequestOrigin& origin);
  HubReply health() const;
  std::string metricsText() const;

  const HubConfig& config() const { return config_; }
  // What the page shows: the last health reading, the hub's own counters,
  // the queue and the journal's latest entries (caixa < 0: every checkout).
  HealthReading healthReading() const;
  const Activity& activity() const { return activity_; }
  std::vector<DeviceQueue::Entry> queueSnapshot() const;
  // The link is open and the device still there.
  bool linkUp() const;
  std::vector<JournalEntry> recentEntries(std::size_t limit, int caixa) const;
  Metrics& metrics() { return metrics_; }
  // With the emulator: switches the emulated device off, or on again, as
  // if its cable were pulled (demonstrations, the page's tests); *on tells
  // which. False without the emulator.
  bool switchEmulator(bool* on);
  // The emulator when started with it (tests), else null.
  tivaxemu::Emulator* emulator() { return emulator_.get(); }

 private:
  struct Pending;
  struct Exchange;

  HubReply execute(const HubRequest& request, const RequestOrigin& origin,
                   DeviceQueue::Clock::time_point deadline);
  HubReply recover(const JournalEntry& original, const HubRequest& request,
                   const RequestOrigin& origin, DeviceQueue::Clock::time_point deadline);
  // Runs `work` on the device's worker; a reply when it never ran.
  std::optional<HubReply> queued(const HubRequest& request, const RequestOrigin& origin,
                                 DeviceQueue::Clock::time_point deadline,
                                 const std::function<void()>& work);
  HubReply awaitPending(const std::shared_ptr<Pending>& pending, const HubRequest& request,
                        DeviceQueue::Clock::time_point deadline);
  // On the worker: one journalled exchange.
  void exchange(const HubFunction& function, const HubRequest& request, const RequestOrigin& origin,
                Exchange& out);
  HubReply refuse(const HubRequest& request, const RequestOrigin& origin, const std::string& erro,
                  const char* outcome);
  void afterAnswer(const HubFunction& function, const HubRequest& request, const std::string& line);
  void upkeep();
  std::string askStatus(std::string* error);
  // Looks every second whether the device is still there (its port, or a
  // USB device), without a word to it.
  void watchPresence();

  HubConfig config_;
  std::string configPath_;
  std::string codigo_;  // used and changed on the worker only
  std::unique_ptr<tivaxemu::Emulator> emulator_;
  std::string emulatorDir_;
  std::mutex emulatorMutex_;
  bool emulatorOn_ = true;
  std::unique_ptr<DeviceLink> link_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<DeviceQueue> queue_;
  Metrics metrics_;
  Activity activity_;
  std::unique_ptr<StatusPoller> poller_;
  std::int64_t lastRotation_ = 0;

  std::atomic<bool> present_{true};
  std::atomic<bool> relink_{false};  // the device went away: the worker reopens the link
  std::mutex watchMutex_;
  std::condition_variable watchWake_;
  bool watchStop_ = false;
  std::thread watcher_;

  std::mutex pendingMutex_;
  std::condition_variable pendingDone_;
  std::map<std::pair<int, std::string>, std::shared_ptr<Pending>> pending_;
};

// Field `index` (0-based) of an answer line ("" past the last).
std::string answerField(const std::string& line, size_t index);

// A reply whose text members may hold any bytes: invalid UTF-8 is replaced,
// never thrown over.
std::string jsonText(const nlohmann::ordered_json& value);

}  // namespace tivaxhub

#endif
