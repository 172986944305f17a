// SPDX-License-Identifier: MIT
// What the hub's tests share: temporary directories, a configuration for
// them, and a hub served in-process over HTTP against an emulated device.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config.h"
#include "http_client.h"
#include "emulator.h"
#include "http_server.h"
#include "hub.h"

namespace tivaxhubtest {

// A directory of its own under the system's temporary directory, removed
// with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text, unsigned mode = 0600);

// A configuration for tests: loopback, any free port, the journal in `dir`.
tivaxhub::HubConfig testConfig(const TempDir& dir);

struct Answer {
  int status = 0;  // 0: no HTTP answer at all
  nlohmann::json body;
};

// POST {base}/{funcao} with the given form fields.
Answer post(HttpClient& client, const std::string& funcao, const Form& form, const Headers& headers = {});
Answer get(HttpClient& client, const std::string& path);

// One hub for a whole test program, as the library holds one device per
// process: its emulator answers on a link path in the hub's directory, so
// a test can stop the device and bring it back.
class LiveHub {
 public:
  explicit LiveHub(tivaxhub::HubConfig config);
  ~LiveHub();

  tivaxhub::Hub& hub() { return *hub_; }
  tivaxemu::Emulator& device() { return *emulator_; }
  const tivaxhub::HubConfig& config() const { return config_; }
  // Another HTTP front over the same hub, with other HTTP settings.
  std::unique_ptr<tivaxhub::HttpServer> serve(const tivaxhub::HubConfig& config, int* port);
  std::unique_ptr<HttpClient> client(int port = 0) const;
  int port() const { return port_; }

  void stopDevice();
  void startDevice();
  // Polls {base}/saude (bounded) until the link is up.
  bool waitLinkUp();

 private:
  TempDir dir_;
  tivaxhub::HubConfig config_;
  std::unique_ptr<tivaxemu::Emulator> emulator_;
  std::unique_ptr<tivaxhub::Hub> hub_;
  std::unique_ptr<tivaxhub::HttpServer> server_;
  std::thread serving_;
  int port_ = 0;
};

std::string exampleSale(const std::string& name = "venda-minima.xml");
// The example cancellation, naming the sale with `key`.
std::string cancellationOf(const std::string& key);

}  // namespace tivaxhubtest

namespace tivaxhubtest {

// The program's one hub, started on first use and stopped after the last
// test.
LiveHub& sharedHub();

// Field `index` (0-based) of an answer line.
std::string field(const std::string& line, size_t index);

}  // namespace tivaxhubtest
