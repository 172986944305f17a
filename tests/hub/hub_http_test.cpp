// SPDX-License-Identifier: MIT
// The hub over HTTP against the emulated device: every function, every
// refusal, repeated request ids, and a device that goes away and returns.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <future>

#include "hub_support.h"

namespace tivaxhubtest {
namespace {

using tivaxhub::kBodyLimitBytes;
using tivaxhub::kSaleLimitBytes;

class HubHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    live = &sharedHub();
    live->device().resetDevice();
    http = live->client();
  }
  // A 200 answer from the device, checked against its request.
  nlohmann::json expectAnswer(const std::string& funcao, const Form& form, const std::string& code) {
    const Answer a = post(*http, funcao, form);
    EXPECT_EQ(a.status, 200) << funcao << " " << a.body.dump();
    const std::string retorno = a.body.value("retorno", "");
    EXPECT_EQ(field(retorno, 1), code) << funcao << ": " << retorno.substr(0, 200);
    return a.body;
  }
  LiveHub* live = nullptr;
  std::unique_ptr<HttpClient> http;
};

TEST_F(HubHttp, EveryFunctionReachesTheDeviceWithItsFields) {
  const Form caixa = {{"numero_caixa", "12"}};
  auto with = [&](Form more) {
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
    Form fields;
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
    HttpClient* client;
    const char* funcao;
    Form form;
    Headers headers;
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
  const Form sale = {{"numero_caixa", "5"}, {"id_requisicao", "venda-0001"}, {"dados_venda", exampleSale()}};
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
  Form other = sale;
  other.erase("numero_caixa");
  other.emplace("numero_caixa", "6");
  EXPECT_NE(post(*http, "enviardadosvenda", other).body["numero_sessao"], first.body["numero_sessao"]);
  EXPECT_EQ(post(*http, "consultarsat", {{"numero_caixa", "5"}, {"id_requisicao", "venda-0001"}}).status, 409);

  // Repeats arriving together: one exchange, one answer for all.
  const std::uint64_t beforeBurst = live->device().requestCount();
  Form burst = sale;
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
  const Form sale = {{"numero_caixa", "9"}, {"id_requisicao", "perdida"}, {"dados_venda", exampleSale()}};
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
  // Only the two queries: the session, then the last fiscal session.
  EXPECT_EQ(live->device().requestCount(), 2u);
  EXPECT_NE(live->device().lastRequest().rfind("15|", 0), std::string::npos) << live->device().lastRequest();
  EXPECT_EQ(post(*http, "enviardadosvenda", sale).body, repeat.body);

  const std::string metrics = http->get("/metrics").body;
  EXPECT_NE(metrics.find("tivax_hub_trocas_total{funcao=\"EnviarDadosVenda\",resultado=\"inacessivel\"}"), std::string::npos);
  EXPECT_NE(metrics.find("tivax_hub_equipamento_conectado 1"), std::string::npos);
  EXPECT_NE(metrics.find("tivax_hub_respostas_http_total{codigo=\"503\"}"), std::string::npos);
}

}  // namespace
}  // namespace tivaxhubtest

namespace tivaxhubtest {
namespace {

// Every sale up to the device's limit goes through, whichever way a
// checkout encodes its form: percent escapes (curl --data-urlencode), "+"
// for spaces (browsers, Python's urlencode), multipart fields and files.
TEST_F(HubHttp, EverySaleGoesThroughAsUrlEncodedOrMultipart) {
  struct Encoding {
    const char* name;
    std::function<std::pair<std::string, std::string>(const Form&)> encode;  // content type, body
  };
  const Encoding encodings[] = {
      {"percent", [](const Form& f) { return std::make_pair(std::string("application/x-www-form-urlencoded"), formBody(f)); }},
      {"plus",
       [](const Form& f) {
         std::string body = formBody(f);
         for (size_t at = 0; (at = body.find("%20", at)) != std::string::npos;) body.replace(at, 3, "+");
         return std::make_pair(std::string("application/x-www-form-urlencoded; charset=UTF-8"), body);
       }},
      {"multipart",
       [](const Form& f) {
         return std::make_pair(std::string("multipart/form-data; boundary=----caixa7f3a"), multipartBody(f, "----caixa7f3a"));
       }},
      {"multipart file",
       [](const Form& f) {
         return std::make_pair(std::string("multipart/form-data; boundary=x-x-x"),
                               multipartBody(f, "x-x-x", {"dados_venda"}));
       }},
  };
  int n = 0;
  for (const char* example : {"venda-completa.xml", "venda-500-itens.xml"}) {
    const std::string sale = exampleSale(example);
    ASSERT_GT(sale.size(), 1000u);
    std::string first;
    for (const Encoding& encoding : encodings) {
      const Form form = {{"numero_caixa", "3"}, {"id_requisicao", "forma-" + std::to_string(++n)}, {"dados_venda", sale}};
      const auto [type, body] = encoding.encode(form);
      const HttpReply reply = http->request("POST", "/hub/v1/enviardadosvenda", {{"Content-Type", type}}, body);
      const nlohmann::json answer = nlohmann::json::parse(reply.body, nullptr, false);
      EXPECT_EQ(reply.status, 200) << example << " as " << encoding.name << ": " << reply.body.substr(0, 300);
      EXPECT_EQ(field(answer.value("retorno", ""), 1), "06000") << example << " as " << encoding.name;
      // The device got the same sale every way (the session aside).
      const std::string got = live->device().lastRequest();
      const std::string sent = got.substr(got.find('|', got.find('|') + 1));
      if (&encoding == encodings) first = sent;
      EXPECT_EQ(sent, first) << example << " as " << encoding.name;
      EXPECT_GT(sent.size(), sale.size() * 9 / 10);
    }
  }
}

// A device that goes away while no checkout calls shows in /saude and in
// the metric within seconds, with no exchange spent on finding out.
TEST_F(HubHttp, ALostDeviceShowsWithoutAnExchange) {
  ASSERT_EQ(get(*http, "/hub/v1/saude").status, 200);
  auto exchanges = [&] {
    const std::string metrics = http->get("/metrics").body;
    const size_t at = metrics.find("tivax_hub_latencia_resposta_segundos_count ");
    return at == std::string::npos ? std::string("?") : metrics.substr(at, metrics.find('\n', at) - at);
  };
  const std::string before = exchanges();
  live->stopDevice();
  const auto lost = std::chrono::steady_clock::now();
  Answer health;
  while (std::chrono::steady_clock::now() - lost < std::chrono::seconds(20) &&
         (health = get(*http, "/hub/v1/saude")).status == 200)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - lost).count();
  std::printf("the lost device showed in /saude after %.2f s\n", seconds);
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(health.body.value("equipamento", ""), "desconectado");
  EXPECT_NE(http->get("/metrics").body.find("tivax_hub_equipamento_conectado 0"), std::string::npos);
  EXPECT_EQ(exchanges(), before) << "no exchange with the device";

  live->startDevice();
  ASSERT_TRUE(live->waitLinkUp());
  EXPECT_EQ(field(post(*http, "consultarsat", {{"numero_caixa", "3"}}).body.value("retorno", ""), 1), "08000")
      << "the link was opened afresh";
}

// A sale journalled under a session number and never sent (the hub
// stopped in between), as the number's earlier sale lies on the device.
void journalUnsent(const std::string& path, int caixa, int sessao, const std::string& id) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  const std::string sql =
      "INSERT INTO diario (instante, caixa, funcao, sessao, cliente, tamanho, id_requisicao, estado) VALUES (1, " +
      std::to_string(caixa) + ", 'EnviarDadosVenda', " + std::to_string(sessao) + ", '127.0.0.1', 1, '" + id +
      "', 'enviada')";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// The device keeps one answer per session number, and a checkout's numbers
// come round again: the answer it gives back for a sale the hub could not
// know it sent is used only when its CF-e is this sale's.
TEST_F(HubHttp, ARecoveredReceiptIsUsedOnlyWhenItIsThisSales) {
  const Answer earlier = post(*http, "enviardadosvenda",
                              {{"numero_caixa", "40"}, {"id_requisicao", "antiga"}, {"dados_venda", exampleSale()}});
  ASSERT_EQ(earlier.status, 200);
  const int sessao = earlier.body["numero_sessao"];
  const struct {
    const char* id;
    const char* sale;
  } cases[] = {
      {"outra-venda", "venda-completa.xml"},  // other items, other payments
      {"mesma-venda", "venda-minima.xml"},    // the same items again: the receipt is still the older one
  };
  for (const auto& c : cases) {
    journalUnsent(live->config().diario, 40, sessao, c.id);
    const std::uint64_t before = live->device().requestCount();
    const Answer resent = post(*http, "enviardadosvenda",
                               {{"numero_caixa", "40"}, {"id_requisicao", c.id}, {"dados_venda", exampleSale(c.sale)}});
    EXPECT_EQ(resent.status, 200) << c.id << " " << resent.body.dump().substr(0, 300);
    EXPECT_EQ(resent.body.value("retorno", "?"), "") << c.id << ": another sale's receipt";
    EXPECT_NE(resent.body.value("erro", "").find("não foi registrada"), std::string::npos) << resent.body.dump();
    EXPECT_EQ(live->device().requestCount(), before + 1) << "only the question about the session";
  }
}

// A checkout whose counter went back sends another sale under a used id:
// it is told so, and the first sale's receipt is not handed out for it.
TEST_F(HubHttp, TheSameIdForAnotherRequestIsAConflict) {
  const Form first = {{"numero_caixa", "41"}, {"id_requisicao", "v-1"}, {"dados_venda", exampleSale()}};
  ASSERT_EQ(post(*http, "enviardadosvenda", first).status, 200);
  const std::uint64_t before = live->device().requestCount();
  const Answer other = post(*http, "enviardadosvenda",
                            {{"numero_caixa", "41"}, {"id_requisicao", "v-1"}, {"dados_venda", exampleSale("venda-completa.xml")}});
  EXPECT_EQ(other.status, 409) << other.body.dump().substr(0, 300);
  EXPECT_NE(other.body.value("erro", "").find("outro conteúdo"), std::string::npos) << other.body.dump();
  EXPECT_EQ(post(*http, "consultarsat", {{"numero_caixa", "41"}, {"id_requisicao", "v-1"}}).status, 409);
  EXPECT_EQ(post(*http, "enviardadosvenda", first).status, 200) << "the same request is still a repeat";
  EXPECT_EQ(live->device().requestCount(), before);
}

// A document at the device's limit, every byte written as %XX: the body
// is within what the hub reads (the library answers it, not the HTTP layer).
TEST_F(HubHttp, ASaleAtTheLimitFullyEscapedIsRead) {
  std::string body = "numero_caixa=4&dados_venda=";
  for (size_t i = 0; i < kSaleLimitBytes; ++i) body += "%61";
  const HttpReply reply = http->request("POST", "/hub/v1/enviardadosvenda",
                                        {{"Content-Type", "application/x-www-form-urlencoded"}}, body);
  EXPECT_EQ(reply.status, 200) << reply.body.substr(0, 300);
}

// What no checkout sends: each case on a connection of its own, then a
// checkout on the shared one is still served.
TEST_F(HubHttp, MalformedOrHostileRequestsAreRefusedAndTheHubGoesOn) {
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string to = "POST /hub/v1/consultarsat HTTP/1.1\r\nHost: h\r\n";
  std::string manyHeaders = "GET /hub/v1/saude HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 20000; ++i) manyHeaders += "X-Campo: " + std::to_string(i) + "\r\n";
  manyHeaders += "\r\n";
  const struct {
    const char* what;
    std::string bytes;
    int status;  // 0: the connection is closed without an answer
  } cases[] = {
      {"two lengths", to + form + "Content-Length: 14\r\nContent-Length: 15\r\n\r\nnumero_caixa=1", 400},
      {"length not a number", to + form + "Content-Length: 14abc\r\n\r\nnumero_caixa=1", 400},
      {"length and chunks", to + form + "Content-Length: 14\r\nTransfer-Encoding: chunked\r\n\r\nnumero_caixa=1", 400},
      {"length over the limit", to + form + "Content-Length: 99999999\r\n\r\n", 413},
      {"repeated field", to + form + "Content-Length: 29\r\n\r\nnumero_caixa=1&numero_caixa=1", 400},
      {"field in query and body", "POST /hub/v1/consultarsat?numero_caixa=1 HTTP/1.1\r\nHost: h\r\n" + form +
                                      "Content-Length: 14\r\n\r\nnumero_caixa=1", 400},
      {"wrong method", "GET /hub/v1/consultarsat HTTP/1.1\r\nHost: h\r\n\r\n", 405},
      {"unknown path", "GET /outro HTTP/1.1\r\nHost: h\r\n\r\n", 404},
      {"20000 headers", manyHeaders, 431},
  };
  for (const auto& c : cases) {
    HttpClient raw(live->port());
    ASSERT_TRUE(raw.sendRaw(c.bytes)) << c.what;
    const HttpReply reply = raw.readReply(30);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body.substr(0, 200);
  }

  // A body sent in chunks past the limit is not read to its end.
  HttpClient chunked(live->port());
  ASSERT_TRUE(chunked.sendRaw(to + form + "Transfer-Encoding: chunked\r\n\r\n"));
  const std::string chunk = std::string("100000\r\n") + std::string(0x100000, 'a') + "\r\n";
  bool refused = false;
  for (int i = 0; i < 8 && !refused; ++i) refused = !chunked.sendRaw(chunk) || chunked.closedByPeer(0.05);
  EXPECT_TRUE(refused || chunked.closedByPeer(30)) << "a body past the limit was read on";

  // Ranges are ignored: the whole answer, once.
  std::string ranges = "bytes=0-0";
  for (int i = 1; i < 1500; ++i) ranges += ",0-" + std::to_string(i);
  const HttpReply whole = http->get("/metrics");
  const HttpReply ranged = http->request("GET", "/metrics", {{"Range", ranges}});
  EXPECT_EQ(ranged.status, 200);
  EXPECT_EQ(ranged.headers.count("content-range"), 0u);
  EXPECT_LT(ranged.body.size(), whole.body.size() + 200);

  // Ten requests written at once get ten answers, in order.
  std::string pipelined;
  for (int i = 0; i < 10; ++i)
    pipelined += to + form + "Content-Length: 15\r\n\r\nnumero_caixa=2" + std::to_string(i % 10);
  HttpClient pipe(live->port());
  ASSERT_TRUE(pipe.sendRaw(pipelined));
  for (int i = 0; i < 10; ++i) {
    const HttpReply reply = pipe.readReply(30);
    ASSERT_EQ(reply.status, 200) << "answer " << i;
    EXPECT_EQ(nlohmann::json::parse(reply.body)["numero_sessao"].get<int>() / 1000, 20 + i % 10);
  }

  EXPECT_EQ(post(*http, "consultarsat", {{"numero_caixa", "1"}}).status, 200);
}

}  // namespace
}  // namespace tivaxhubtest
