// SPDX-License-Identifier: MIT
#include "hub_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>


#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tivaxhubtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tivax-hub-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text, unsigned mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  chmod(path.c_str(), mode);
}

tivaxhub::HubConfig testConfig(const TempDir& dir) {
  tivaxhub::HubConfig config;
  config.codigoAtivacao = "12345678";
  config.escutarPorta = 0;
  config.diario = dir.file("diario.db");
  config.administrativas = true;
  // The hub's own status queries would add to the device's request counts
  // the tests check: off, except where a test turns them on.
  config.consultaStatus = 0;
  return config;
}

namespace {

Answer answerOf(const HttpReply& reply) {
  Answer answer;
  if (reply.status == 0) {
    answer.body = {{"erro_http", "sem resposta"}};
    return answer;
  }
  answer.status = reply.status;
  answer.body = nlohmann::json::parse(reply.body, nullptr, false);
  return answer;
}

}  // namespace

Answer post(HttpClient& client, const std::string& funcao, const Form& form, const Headers& headers) {
  return answerOf(client.postForm("/hub/v1/" + funcao, form, headers));
}

Answer get(HttpClient& client, const std::string& path) { return answerOf(client.get(path)); }

LiveHub::LiveHub(tivaxhub::HubConfig config) : config_(std::move(config)) {
  if (config_.diario.empty() || config_.diario == tivaxhub::HubConfig().diario)
    config_.diario = dir_.file("diario.db");
  config_.porta = dir_.file("sat");
  startDevice();
  hub_ = std::make_unique<tivaxhub::Hub>(config_, "");
  std::string error;
  if (!hub_->start(false, &error)) throw std::runtime_error(error);
  server_ = std::make_unique<tivaxhub::HttpServer>(*hub_, config_);
  if (!server_->bind(&port_, &error)) throw std::runtime_error(error);
  serving_ = std::thread([this] { server_->run(); });
  server_->waitServing();
}

LiveHub::~LiveHub() {
  hub_->stopQueue();
  server_->stop();
  serving_.join();
  hub_->stop();
  if (emulator_) emulator_->stop();
}

std::unique_ptr<tivaxhub::HttpServer> LiveHub::serve(const tivaxhub::HubConfig& config, int* port) {
  auto server = std::make_unique<tivaxhub::HttpServer>(*hub_, config);
  std::string error;
  if (!server->bind(port, &error)) throw std::runtime_error(error);
  return server;
}

std::unique_ptr<HttpClient> LiveHub::client(int port) const {
  return std::make_unique<HttpClient>(port ? port : port_);
}

void LiveHub::stopDevice() {
  emulator_->stop();
  emulator_.reset();
}

void LiveHub::startDevice() {
  tivaxemu::Options options;
  options.activationCode = config_.codigoAtivacao;
  options.linkPath = config_.porta;
  emulator_ = std::make_unique<tivaxemu::Emulator>(options);
  std::string error;
  if (!emulator_->start(&error)) throw std::runtime_error(error);
}

bool LiveHub::waitLinkUp() {
  auto http = client();
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < give_up) {
    if (get(*http, "/hub/v1/saude").status == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string exampleSale(const std::string& name) {
  return readFile(std::string(TIVAX_EXAMPLES_DIR) + "/" + name);
}

std::string cancellationOf(const std::string& key) {
  std::string text = exampleSale("cancelamento.xml");
  const std::size_t at = text.find("chCanc=\"") + 8;
  return text.replace(at, text.find('"', at) - at, key);
}

}  // namespace tivaxhubtest

namespace tivaxhubtest {

namespace {

LiveHub* g_shared = nullptr;

class SharedHubEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete g_shared;
    g_shared = nullptr;
  }
};

// Registered before main: the hub goes before the library's own statics.
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new SharedHubEnvironment);

}  // namespace

LiveHub& sharedHub() {
  if (!g_shared) {
    static TempDir dir;
    g_shared = new LiveHub(testConfig(dir));
  }
  return *g_shared;
}

std::string field(const std::string& line, size_t index) { return tivaxhub::answerField(line, index); }

}  // namespace tivaxhubtest
