// SPDX-License-Identifier: MIT
// 20 clients × 50 requests on 10 checkouts through one hub: every answer
// belongs to its request, and no checkout repeats a session number.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "hub_support.h"

namespace tivaxhubtest {
namespace {

constexpr int kClients = 20;
constexpr int kRequestsEach = 50;
constexpr int kCheckouts = 10;

struct Sent {
  int caixa;
  std::string funcao;
  std::string eeeee;  // the answer's result code for that function
};

TEST(HubLoad, ConcurrentCheckoutsShareTheDevice) {
  LiveHub& live = sharedHub();
  const std::uint64_t before = live.device().requestCount();
  const std::string sale = exampleSale();
  std::mutex mutex;
  std::map<int, std::vector<int>> sessionsByCheckout;
  std::vector<std::string> failures;

  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      auto http = live.client();
      for (int i = 0; i < kRequestsEach; ++i) {
        const int caixa = (c + i) % kCheckouts;
        Form form = {{"numero_caixa", std::to_string(caixa)}};
        Sent sent{caixa, "ConsultarStatusOperacional", "10000"};
        std::string path = "consultarstatusoperacional";
        if (i % 5 == 0) {
          path = "enviardadosvenda";
          sent = {caixa, "EnviarDadosVenda", "06000"};
          form.emplace("dados_venda", sale);
          form.emplace("id_requisicao", "c" + std::to_string(c) + "-" + std::to_string(i));
        } else if (i % 2 == 0) {
          path = "consultarsat";
          sent = {caixa, "ConsultarSAT", "08000"};
        }
        const Answer a = post(*http, path, form);
        std::string problem;
        const std::string retorno = a.body.is_object() ? a.body.value("retorno", "") : "";
        const int sessao = a.body.is_object() ? a.body.value("numero_sessao", -1) : -1;
        if (a.status != 200)
          problem = "status " + std::to_string(a.status) + " " + a.body.dump() + " request " + std::to_string(i);
        else if (a.body.value("funcao", "") != sent.funcao || field(retorno, 1) != sent.eeeee)
          problem = "answer of another request: " + retorno.substr(0, 80);
        else if (std::stoi(field(retorno, 0)) != sessao)
          problem = "session " + std::to_string(sessao) + " but answer " + field(retorno, 0);
        else if (sessao / 1000 != caixa)
          problem = "session " + std::to_string(sessao) + " outside checkout " + std::to_string(caixa);
        std::lock_guard<std::mutex> lock(mutex);
        if (!problem.empty()) failures.push_back(path + ": " + problem);
        sessionsByCheckout[caixa].push_back(sessao);
      }
    });
  for (auto& t : clients) t.join();

  for (size_t i = 0; i < failures.size() && i < 5; ++i) ADD_FAILURE() << failures[i];
  EXPECT_TRUE(failures.empty()) << failures.size() << " failures";
  EXPECT_EQ(live.device().requestCount() - before, static_cast<std::uint64_t>(kClients * kRequestsEach));
  ASSERT_EQ(sessionsByCheckout.size(), static_cast<size_t>(kCheckouts));
  for (const auto& [caixa, sessions] : sessionsByCheckout) {
    // 100 requests per checkout: all of them within its last 100.
    EXPECT_EQ(sessions.size(), static_cast<size_t>(kClients * kRequestsEach / kCheckouts));
    EXPECT_EQ(std::set<int>(sessions.begin(), sessions.end()).size(), sessions.size())
        << "checkout " << caixa << " repeated a session number";
  }
}

}  // namespace
}  // namespace tivaxhubtest
