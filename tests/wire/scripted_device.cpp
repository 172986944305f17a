// SPDX-License-Identifier: MIT
#include "scripted_device.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace wiretest {

ScriptedDevice::ScriptedDevice() : thread_([this] { serve(); }) {}

ScriptedDevice::~ScriptedDevice() { stop(); }

void ScriptedDevice::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void ScriptedDevice::setScript(Script script) {
  const std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

std::vector<std::string> ScriptedDevice::requests() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string ScriptedDevice::defaultAnswer(const std::string& request) {
  const size_t bar = request.find('|');
  const std::string id = request.substr(0, bar);
  const size_t next = request.find('|', bar + 1);
  const std::string session = request.substr(bar + 1, next - bar - 1);
  std::string code = std::to_string(std::atoi(id.c_str()) + 4) + "000";
  if (code.size() < 5) code.insert(0, 5 - code.size(), '0');
  return session + "|" + code + "|ok||\n";
}

void ScriptedDevice::serve() {
  std::string pending;
  char chunk[65536];
  while (!stop_) {
    if (hold_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p{pty_.master, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = read(pty_.master, chunk, sizeof chunk);
    if (n <= 0) continue;
    pending.append(chunk, static_cast<size_t>(n));
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      Script script;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(line);
        script = script_;
      }
      if (script)
        script(line);
      else
        send(defaultAnswer(line));
    }
  }
}

}  // namespace wiretest
