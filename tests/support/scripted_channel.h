// SPDX-License-Identifier: MIT
// A channel that talks to a script instead of a device: it records every
// request line and answers with whatever the script returns for it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/comm_channel.h"

namespace tivaxtest {

struct Script {
  std::mutex mutex;
  std::vector<std::string> requests;  // request lines, terminator removed
  std::vector<std::string> ports;     // port of every channel built
  // The text the device sends back for a request line; "" means silence.
  std::function<std::string(const std::string& request)> answer;
  bool opens = true;  // whether openChannel succeeds

  std::vector<std::string> sent() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  }
  size_t sentCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests.size();
  }
};

class ScriptedChannel : public Tivaxlib::Comm::ICommChannel {
 public:
  explicit ScriptedChannel(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  bool openChannel() override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    open_ = script_->opens;
    return open_;
  }
  bool closeChannel() override {
    open_ = false;
    return true;
  }
  bool isChannelOpened() const override { return open_; }

  bool sendToChannel(Tivaxlib::Comm::ICommSendMessage& message) override {
    std::string line = message.pullMessageToSend();
    std::string stripped;
    for (char c : line)
      if (c != '\n') stripped += c;
    std::lock_guard<std::mutex> lock(script_->mutex);
    script_->requests.push_back(stripped);
    last_ = stripped;
    return true;
  }

  bool receiveFromChannel(Tivaxlib::Comm::ICommReceiveMessage& message) override {
    std::function<std::string(const std::string&)> answer;
    {
      std::lock_guard<std::mutex> lock(script_->mutex);
      answer = script_->answer;
    }
    std::string text = answer ? answer(last_) : std::string();
    if (text.empty()) return false;
    message.pushReceivedMessage(text);
    return true;
  }

  // Lets a test close the link as a dying device would.
  void drop() { open_ = false; }

 private:
  std::shared_ptr<Script> script_;
  bool open_ = false;
  std::string last_;
};

// A factory for Tivaxlib::Tivax that builds scripted channels.
inline std::function<std::unique_ptr<Tivaxlib::Comm::ICommChannel>(const std::string&)>
scriptedFactory(std::shared_ptr<Script> script) {
  return [script](const std::string& port) -> std::unique_ptr<Tivaxlib::Comm::ICommChannel> {
    {
      std::lock_guard<std::mutex> lock(script->mutex);
      script->ports.push_back(port);
    }
    return std::make_unique<ScriptedChannel>(script);
  };
}

// Splits a request line "id|session|..." into its fields.
inline std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t bar = line.find('|', start);
    out.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) return out;
    start = bar + 1;
  }
}

}  // namespace tivaxtest
