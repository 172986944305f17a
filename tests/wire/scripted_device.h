// SPDX-License-Identifier: MIT
// A device whose every byte the test decides: a thread reads the library's
// request lines from a pseudo-terminal and hands each to the test's script,
// which writes what the device says back.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_peer.h"

namespace wiretest {

class ScriptedDevice {
 public:
  // Gets one request line (without its line feed); writes the answer with
  // send(). Runs on the device's thread.
  using Script = std::function<void(const std::string& request)>;

  ScriptedDevice();
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // Replaces the script; the default answers "session|<code>|ok||" with the
  // request's session and a code for its function.
  void setScript(Script script);
  // Writes bytes as the device; blocks while the terminal is full.
  void send(const std::string& bytes) const { pty_.send(bytes); }
  std::string path() const { return pty_.slavePath; }
  // The request lines that arrived, in order.
  std::vector<std::string> requests() const;
  // While held, the device reads nothing: the terminal fills up and the
  // library's writes wait for room.
  void holdReading(bool hold) { hold_ = hold; }
  // Stops reading requests (a device that hung up its end stays so).
  void stop();

  // The default answer to a request line: the session and 0<id>000.
  static std::string defaultAnswer(const std::string& request);

 private:
  void serve();

  commtest::PtyPair pty_;
  mutable std::mutex mutex_;
  Script script_;
  std::vector<std::string> requests_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_{false};
  std::thread thread_;
};

}  // namespace wiretest
