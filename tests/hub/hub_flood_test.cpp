// SPDX-License-Identifier: MIT
// A checkout is served while others hold connections open: idle ones,
// ones that send a byte now and then, keep-alive clients between requests.
// The floods come from other loopback addresses, as other hosts would.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hub_support.h"

namespace tivaxhubtest {
namespace {

using Clock = std::chrono::steady_clock;

// Both ends of every connection live in this process.
void raiseFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::string source(int host) { return "127.0." + std::to_string(1 + host / 200) + "." + std::to_string(2 + host % 200); }

TEST(HubFlood, ACheckoutIsServedWhileIdleSlowAndKeptConnectionsAreOpen) {
  raiseFileLimit();
  LiveHub& live = sharedHub();
  std::vector<std::unique_ptr<HttpClient>> idle, kept, slow;
  // 300 idle connections from 10 addresses.
  for (int i = 0; i < 300; ++i) {
    idle.push_back(std::make_unique<HttpClient>(live.port(), source(i % 10)));
    ASSERT_TRUE(idle.back()->sendRaw("")) << "idle connection " << i;
  }
  // 40 keep-alive clients that asked once and stay.
  for (int i = 0; i < 40; ++i) {
    kept.push_back(std::make_unique<HttpClient>(live.port(), source(20 + i % 10)));
    ASSERT_EQ(kept.back()->get("/hub/v1/saude").status, 200);
  }
  // 40 clients that send their request a byte at a time, until the
  // checkout has been answered (30 s at most).
  const std::string request = "POST /hub/v1/consultarsat HTTP/1.1\r\nHost: h\r\nContent-Length: 14\r\n\r\nnumero_caixa=1";
  for (int i = 0; i < 40; ++i) slow.push_back(std::make_unique<HttpClient>(live.port(), source(40 + i % 10)));
  std::atomic<bool> done{false};
  std::thread drip([&] {
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    for (size_t at = 0; !done && Clock::now() < giveUp; at = (at + 1) % request.size()) {
      for (auto& client : slow) client->sendRaw(request.substr(at, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  // Far more than the device's own time, far less than the floods last.
  auto checkout = live.client();
  checkout->setTimeout(10);
  std::vector<double> times;
  for (int i = 0; i < 10; ++i) {
    const auto start = Clock::now();
    const Answer a = post(*checkout, "consultarsat", {{"numero_caixa", "7"}});
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    EXPECT_EQ(a.status, 200) << a.body.dump();
    // A new connection is accepted too.
    auto another = live.client();
    another->setTimeout(10);
    EXPECT_EQ(post(*another, "consultarstatusoperacional", {{"numero_caixa", "7"}}).status, 200);
  }
  done = true;
  drip.join();
  std::sort(times.begin(), times.end());
  std::printf("consultarsat among 300 idle, 40 kept and 40 slow connections: median %.1f ms, worst %.1f ms\n",
              times[times.size() / 2], times.back());
  // The idle and kept connections are still open and usable.
  EXPECT_EQ(kept.front()->get("/hub/v1/saude").status, 200);
}

// Limits met by a hub of their own: a request must be complete within its
// time, and one client address holds only so many connections.
TEST(HubFlood, SlowRequestsAreCutAndConnectionsPerClientAreBounded) {
  LiveHub& live = sharedHub();
  tivaxhub::HubConfig config = live.config();
  config.prazoRequisicao = 1;
  int port = 0;
  auto server = live.serve(config, &port);

  HttpClient slow(port, source(100));
  const auto giveUp = Clock::now() + std::chrono::seconds(30);
  bool cut = false;
  const std::string request = "POST /hub/v1/consultarsat HTTP/1.1\r\nHost: h\r\nContent-Length: 14\r\n\r\nnumero_caixa=1";
  for (size_t at = 0; !cut && Clock::now() < giveUp; at = (at + 1) % request.size())
    cut = !slow.sendRaw(request.substr(at, 1)) || slow.closedByPeer(0.2);
  EXPECT_TRUE(cut) << "a request sent a byte at a time was never cut";
  server->stop();

  config = live.config();
  config.conexoesPorCliente = 4;
  server = live.serve(config, &port);

  std::vector<std::unique_ptr<HttpClient>> many;
  for (int i = 0; i < 6; ++i) {
    many.push_back(std::make_unique<HttpClient>(port, source(101)));
    many.back()->sendRaw("");
  }
  int closed = 0;
  for (auto& c : many) closed += c->closedByPeer(0.5);
  EXPECT_EQ(closed, 2) << "the connections past 4 from one address";
  EXPECT_EQ(HttpClient(port, source(102)).get("/hub/v1/saude").status, 200);
  server->stop();
}

}  // namespace
}  // namespace tivaxhubtest
