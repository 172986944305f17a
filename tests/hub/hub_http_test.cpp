// SPDX-License-Identifier: MIT
// The hub over HTTP against the emulated device: every function, every
// refusal, repeated request ids, and a device that goes away and returns.
#include <gtest/gtest.h>

#include <future>

#include "hub_support.h"

namespace tivaxhubtest {
namespace {

using tivaxhub::kBodyLimitBytes;
using tivaxhub::kSaleLimitBytes;

// The example cancellation, naming the sale with `key`.
std::string cancellationOf(const std::string& key) {
  std::string text = exampleSale("cancelamento.xml");
  const std::size_t at = text.find("chCanc=\"") + 8;
  return text.replace(at, text.find('"', at) - at, key);
}

class HubHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    live = &sharedHub();
    live->device().resetDevice();
    http = live->client();
  }
  // A 200 answer from the device, checked against its request.
  nlohmann::json expectAnswer(const std::string& funcao, const httplib::Params& form, const std::string& code) {
    const Answer a = post(*http, funcao, form);
    EXPECT_EQ(a.status, 200) << funcao << " " << a.body.dump();
    const std::string retorno = a.body.value("retorno", "");
    EXPECT_EQ(field(retorno, 1), code) << funcao << ": " << retorno.substr(0, 200);
    return a.body;
  }
  LiveHub* live = nullptr;
  std::unique_ptr<httplib::Client> http;
};

TEST_F(HubHttp, EveryFunctionReachesTheDeviceWithItsFields) {
  const httplib::Params caixa = {{"numero_caixa", "12"}};
  auto with = [&](httplib::Params more) {
    more.emplace("numero_caixa", "12");
    return more;
  };
  const std::string sale = exampleSale();

  nlohmann::json sold = expectAnswer("enviardadosvenda", with({{"dados_venda", sale}}), "06000");
  EXPECT_EQ(sold["funcao"], "EnviarDadosVenda");
  const int saleSession = sold["numero_sessao"];
  EXPECT_GT(saleSession, 12000);
  EXPECT_LT(saleSession, 13000);
  const std::string saleLine = sold["retorno"];
  EXPECT_EQ(std::stoi(field(saleLine, 0)), saleSession);
  const std::string key = field(saleLine, 8);

  const nlohmann::json looked =
      expectAnswer("consultarnumerosessao", with({{"numero_sessao", std::to_string(saleSession)}}), "06000");
  EXPECT_EQ(looked["retorno"], saleLine) << "the stored answer of that session, whole";
  EXPECT_NE(looked["numero_sessao"], saleSession);

  const struct {
    const char* funcao;
    const char* standardName;
    httplib::Params fields;
    const char* code;
  } cases[] = {
      {"cancelarultimavenda", "CancelarUltimaVenda",
       {{"chave_cfe", key}, {"dados_cancelamento", cancellationOf(key)}}, "07000"},
      {"consultarultimasessaofiscal", "ConsultarUltimaSessaoFiscal", {}, "07000"},
      {"ativarsat", "AtivarSAT", {{"tipo_certificado", "1"}, {"cnpj", "58473629000139"}, {"codigo_uf", "35"}}, "04000"},
      {"comunicarcertificadoicpbrasil", "ComunicarCertificadoICPBRASIL", {{"certificado", "MIIBCgKCAQEA"}}, "05000"},
      {"consultarsat", "ConsultarSAT", {}, "08000"},
      {"testefimafim", "TesteFimAFim", {{"dados_venda", sale}}, "09000"},
      {"consultarstatusoperacional", "ConsultarStatusOperacional", {}, "10000"},
      {"configurarinterfacederede", "ConfigurarInterfaceDeRede",
       {{"configuracao", "<config><tipoInter>ETHE</tipoInter><tipoLan>DHCP</tipoLan></config>"}}, "12000"},
      {"associarassinatura", "AssociarAssinatura",
       {{"sequencia_cnpj", std::string(28, '1')}, {"assinatura_ac", "QUJDREVG"}}, "13000"},
      {"atualizarsoftwaresat", "AtualizarSoftwareSAT", {}, "14000"},
      {"extrairlogs", "ExtrairLogs", {}, "15000"},
      {"bloquearsat", "BloquearSAT", {}, "16000"},
      {"desbloquearsat", "DesbloquearSAT", {}, "17000"},
      // The hub keeps the new code: the second change is proved with it.
      {"trocarcodigodeativacao", "TrocarCodigoDeAtivacao", {{"novo_codigo_ativacao", "novo-codigo"}, {"opcao", "1"}}, "18000"},
      {"trocarcodigodeativacao", "TrocarCodigoDeAtivacao", {{"novo_codigo_ativacao", "12345678"}, {"opcao", "1"}}, "18000"},
  };
  for (const auto& c : cases) {
    const nlohmann::json body = expectAnswer(c.funcao, with(c.fields), c.code);
    EXPECT_EQ(body["funcao"], c.standardName);
    if (std::string(c.funcao) != "consultarultimasessaofiscal") {
      EXPECT_EQ(std::stoi(field(body["retorno"], 0)), body["numero_sessao"].get<int>()) << c.funcao;
    }
  }
  EXPECT_EQ(live->device().activationCode(), "12345678");
  (void)caixa;
}

TEST_F(HubHttp, RefusesBeforeTheDevice) {
  tivaxhub::HubConfig closed = live->config();
  closed.administrativas = false;
  int closedPort = 0;
  auto closedServer = live->serve(closed, &closedPort);
  std::thread closedServing([&] { closedServer->run(); });
  closedServer->waitServing();
  tivaxhub::HubConfig guarded = live->config();
  guarded.token = "s3gr3do";
  int guardedPort = 0;
  auto guardedServer = live->serve(guarded, &guardedPort);
  std::thread guardedServing([&] { guardedServer->run(); });
  guardedServer->waitServing();
  tivaxhub::HubConfig elsewhere = live->config();
  elsewhere.clientes = {"10.0.0.0/8"};
  int elsewherePort = 0;
  auto elsewhereServer = live->serve(elsewhere, &elsewherePort);
  std::thread elsewhereServing([&] { elsewhereServer->run(); });
  elsewhereServer->waitServing();
  auto closedClient = live->client(closedPort);
  auto guardedClient = live->client(guardedPort);
  auto elsewhereClient = live->client(elsewherePort);

  const std::uint64_t before = live->device().requestCount();
  const std::string badUtf8 = "<CFe>\xff\xfe</CFe>";
  const struct {
    httplib::Client* client;
    const char* funcao;
    httplib::Params form;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {http.get(), "consultarsat", {}, {}, 400},
      {http.get(), "consultarsat", {{"numero_caixa", "1000"}}, {}, 400},
      {http.get(), "consultarsat", {{"numero_caixa", "x"}}, {}, 400},
      {http.get(), "enviardadosvenda", {{"numero_caixa", "1"}}, {}, 400},
      {http.get(), "enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", badUtf8}}, {}, 400},
      {http.get(), "enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", std::string(kSaleLimitBytes + 1, 'a')}}, {}, 413},
      {http.get(), "enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", std::string(kBodyLimitBytes, 'a')}}, {}, 413},
      {http.get(), "comunicarcertificadoicpbrasil", {{"numero_caixa", "1"}, {"certificado", "a|b"}}, {}, 400},
      {http.get(), "vendertudo", {{"numero_caixa", "1"}}, {}, 404},
      {closedClient.get(), "bloquearsat", {{"numero_caixa", "1"}}, {}, 403},
      {closedClient.get(), "trocarcodigodeativacao", {{"numero_caixa", "1"}, {"novo_codigo_ativacao", "87654321"}, {"opcao", "1"}}, {}, 403},
      {guardedClient.get(), "consultarsat", {{"numero_caixa", "1"}}, {}, 403},
      {guardedClient.get(), "consultarsat", {{"numero_caixa", "1"}}, {{"Authorization", "Bearer errado"}}, 403},
      {elsewhereClient.get(), "consultarsat", {{"numero_caixa", "1"}}, {}, 403},
  };
  for (const auto& c : cases) {
    const Answer a = post(*c.client, c.funcao, c.form, c.headers);
    EXPECT_EQ(a.status, c.status) << c.funcao << " " << a.body.dump().substr(0, 200);
    EXPECT_TRUE(a.body.contains("erro")) << c.funcao << " " << a.body.dump().substr(0, 200);
  }
  EXPECT_EQ(live->device().requestCount(), before) << "nothing refused reached the device";
  EXPECT_EQ(get(*elsewhereClient, "/metrics").status, 403);

  // What the guards let through still works.
  EXPECT_EQ(post(*guardedClient, "consultarsat", {{"numero_caixa", "1"}}, {{"Authorization", "Bearer s3gr3do"}}).status, 200);
  EXPECT_EQ(post(*closedClient, "consultarstatusoperacional", {{"numero_caixa", "1"}}).status, 200);
  for (auto* server : {closedServer.get(), guardedServer.get(), elsewhereServer.get()}) server->stop();
  closedServing.join();
  guardedServing.join();
  elsewhereServing.join();
}

TEST_F(HubHttp, ARepeatedRequestIdIsAnsweredFromTheJournal) {
  const httplib::Params sale = {{"numero_caixa", "5"}, {"id_requisicao", "venda-0001"}, {"dados_venda", exampleSale()}};
  const std::uint64_t before = live->device().requestCount();
  const Answer first = post(*http, "enviardadosvenda", sale);
  ASSERT_EQ(first.status, 200);
  EXPECT_EQ(field(first.body["retorno"], 1), "06000");
  const Answer again = post(*http, "enviardadosvenda", sale);
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.body, first.body);
  EXPECT_EQ(live->device().requestCount(), before + 1) << "one exchange for both";

  // The same id from another checkout is another request; for another
  // function from the same checkout, a mistake.
  httplib::Params other = sale;
  other.erase("numero_caixa");
  other.emplace("numero_caixa", "6");
  EXPECT_NE(post(*http, "enviardadosvenda", other).body["numero_sessao"], first.body["numero_sessao"]);
  EXPECT_EQ(post(*http, "consultarsat", {{"numero_caixa", "5"}, {"id_requisicao", "venda-0001"}}).status, 400);

  // Repeats arriving together: one exchange, one answer for all.
  const std::uint64_t beforeBurst = live->device().requestCount();
  httplib::Params burst = sale;
  burst.erase("id_requisicao");
  burst.emplace("id_requisicao", "venda-0002");
  std::vector<std::future<Answer>> answers;
  for (int i = 0; i < 4; ++i)
    answers.push_back(std::async(std::launch::async, [&] {
      auto own = live->client();
      return post(*own, "enviardadosvenda", burst);
    }));
  std::vector<Answer> got;
  for (auto& f : answers) got.push_back(f.get());
  for (const Answer& a : got) {
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, got.front().body);
  }
  EXPECT_EQ(live->device().requestCount(), beforeBurst + 1);
}

TEST_F(HubHttp, ADeviceThatGoesAwayGives503AndALostSaleIsRecoveredNotResent) {
  live->stopDevice();
  const httplib::Params sale = {{"numero_caixa", "9"}, {"id_requisicao", "perdida"}, {"dados_venda", exampleSale()}};
  const Answer lost = post(*http, "enviardadosvenda", sale);
  EXPECT_EQ(lost.status, 503) << lost.body.dump();
  EXPECT_EQ(get(*http, "/hub/v1/saude").status, 503);
  const Answer refused = post(*http, "consultarsat", {{"numero_caixa", "9"}});
  EXPECT_EQ(refused.status, 503);
  // Both say why, in the library's words: the port is gone.
  for (const Answer* a : {&lost, &refused})
    EXPECT_EQ(a->body.value("erro", "").rfind("equipamento inacessível: porta não abre: ", 0), 0u)
        << a->body.dump();

  live->startDevice();
  ASSERT_TRUE(live->waitLinkUp());
  const Answer health = get(*http, "/hub/v1/saude");
  EXPECT_EQ(health.body["equipamento"], "conectado");
  EXPECT_EQ(health.body["fila"], 0);

  // The hub cannot know whether the sale reached the device: it asks the
  // device for that session instead of selling again. This device never
  // saw it.
  const Answer repeat = post(*http, "enviardadosvenda", sale);
  EXPECT_EQ(repeat.status, 200) << repeat.body.dump();
  EXPECT_EQ(repeat.body["retorno"], "");
  EXPECT_NE(repeat.body.value("erro", "").find("não chegou ao equipamento"), std::string::npos);
  EXPECT_EQ(live->device().requestCount(), 1u) << "only ConsultarNumeroSessao";
  EXPECT_NE(live->device().lastRequest().rfind("7|", 0), std::string::npos) << live->device().lastRequest();
  EXPECT_EQ(post(*http, "enviardadosvenda", sale).body, repeat.body);

  const std::string metrics = http->Get("/metrics")->body;
  EXPECT_NE(metrics.find("tivax_hub_trocas_total{funcao=\"EnviarDadosVenda\",resultado=\"inacessivel\"}"), std::string::npos);
  EXPECT_NE(metrics.find("tivax_hub_equipamento_conectado 1"), std::string::npos);
  EXPECT_NE(metrics.find("tivax_hub_respostas_http_total{codigo=\"503\"}"), std::string::npos);
}

}  // namespace
}  // namespace tivaxhubtest
