// SPDX-License-Identifier: MIT
// The hub's pieces without HTTP: configuration, access, field checks,
// session numbers, the journal and the device queue.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <future>
#include <set>
#include <vector>

#include "access.h"
#include "config.h"
#include "device_queue.h"
#include "fields.h"
#include "hub.h"
#include "hub_support.h"
#include "journal.h"

namespace tivaxhub {
namespace {

using tivaxhubtest::TempDir;

void writeFileEmpty(const std::string& path) { tivaxhubtest::writeFile(path, ""); }

JournalEntry saleEntry(int caixa, const std::string& id) {
  JournalEntry entry;
  entry.caixa = caixa;
  entry.funcao = "EnviarDadosVenda";
  entry.idRequisicao = id;
  return entry;
}

TEST(HubConfig, ReadsEveryKey) {
  const HubConfig c = parseConfig(
      "# loja 12\n"
      "porta = /dev/ttyACM3\n"
      "codigo_ativacao = abc12345\n"
      "escutar = [::]:9000\n"
      "diario = /srv/diario.db\n"
      "administrativas = sim\n"
      "clientes = 192.168.10.0/24, 10.0.0.7\n"
      "token = s3gr3do\n"
      "prazo = 2.5\n"
      "base = /sat\n"
      "diario_dias = 30\n"
      "diario_max_mb = 64\n"
      "conexoes = 8\n"
      "conexoes_por_cliente = 3\n"
      "log = /var/log/tivax-hub/trocas.log\n");
  EXPECT_EQ(c.porta, "/dev/ttyACM3");
  EXPECT_EQ(c.log, "/var/log/tivax-hub/trocas.log");
  EXPECT_EQ(c.codigoAtivacao, "abc12345");
  EXPECT_EQ(c.escutarEndereco, "::");
  EXPECT_EQ(c.escutarPorta, 9000);
  EXPECT_TRUE(c.administrativas);
  EXPECT_EQ(c.clientes, (std::vector<std::string>{"192.168.10.0/24", "10.0.0.7"}));
  EXPECT_DOUBLE_EQ(c.prazo, 2.5);
  EXPECT_EQ(c.prazoTexto, "2.5");
  EXPECT_EQ(c.base, "/sat");
  EXPECT_EQ(c.diarioMegabytes, 64);
  EXPECT_EQ(c.conexoes, 8);
  EXPECT_EQ(c.conexoesPorCliente, 3);

  const HubConfig defaults = parseConfig("codigo_ativacao = 12345678\n");
  EXPECT_EQ(defaults.escutarEndereco, "127.0.0.1");
  EXPECT_EQ(defaults.escutarPorta, 8088);
  EXPECT_FALSE(defaults.administrativas);
  EXPECT_TRUE(defaults.porta.empty());
}

TEST(HubConfig, RefusesWhatItCannotUse) {
  const struct {
    const char* text;
    const char* complaint;
  } cases[] = {
      {"porta = /dev/x\n", "falta codigo_ativacao"},
      {"codigo_ativacao = 1|2\n", "codigo_ativacao"},
      {"codigo_ativacao = 1\ncliente = 10.0.0.0/8\n", "linha 2: chave desconhecida \"cliente\""},
      {"codigo_ativacao = 1\ncodigo_ativacao = 2\n", "repetida"},
      {"codigo_ativacao = 1\nescutar = 127.0.0.1\n", "escutar"},
      {"codigo_ativacao = 1\nescutar = loja:8088\n", "não é um endereço IP"},
      {"codigo_ativacao = 1\nescutar = 127.0.0.1:70000\n", "porta"},
      {"codigo_ativacao = 1\nclientes = 10.0.0.0/33\n", "clientes"},
      {"codigo_ativacao = 1\nadministrativas = yes\n", "sim ou nao"},
      {"codigo_ativacao = 1\nprazo = 0\n", "prazo"},
      {"codigo_ativacao = 1\nprazo = 1,5\n", "prazo"},
      {"codigo_ativacao = 1\nbase = hub/\n", "base"},
      {"codigo_ativacao = 1\ntoken = a b\n", "token"},
      {"codigo_ativacao = 1\nsem igual\n", "linha 2: esperava chave = valor"},
  };
  for (const auto& c : cases) {
    try {
      parseConfig(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const ConfigError& error) {
      EXPECT_NE(std::string(error.what()).find(c.complaint), std::string::npos)
          << c.text << " -> " << error.what();
    }
  }
}

TEST(HubConfig, RefusesAFileOthersMayReadAndRewritesTheCodeInPlace) {
  TempDir dir;
  const std::string path = dir.file("hub.conf");
  const std::string text = "# a loja\nporta = /dev/ttyACM0\ncodigo_ativacao = 12345678\ntoken = t\n";
  for (unsigned mode : {0644u, 0640u, 0602u}) {
    tivaxhubtest::writeFile(path, text, mode);
    EXPECT_THROW(loadConfig(path), ConfigError) << std::oct << mode;
  }
  tivaxhubtest::writeFile(path, text, 0600);
  EXPECT_EQ(loadConfig(path).codigoAtivacao, "12345678");

  std::string error;
  ASSERT_TRUE(rewriteActivationCode(path, "novo-codigo-9", &error)) << error;
  EXPECT_EQ(tivaxhubtest::readFile(path),
            "# a loja\nporta = /dev/ttyACM0\ncodigo_ativacao = novo-codigo-9\ntoken = t\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(loadConfig(path).codigoAtivacao, "novo-codigo-9");
}

TEST(HubAccess, ClientNetworksAndToken) {
  const AccessPolicy shop({"192.168.10.0/24", "10.1.2.3", "fd00::/8"}, "");
  const struct {
    const char* address;
    bool allowed;
  } cases[] = {
      {"192.168.10.77", true},  {"192.168.11.1", false}, {"10.1.2.3", true},
      {"10.1.2.4", false},      {"fd12::5", true},       {"fe80::1", false},
      {"::ffff:192.168.10.9", true},  // IPv4 client on a dual-stack socket
      {"127.0.0.1", false},     {"garbage", false},      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(shop.clientAllowed(c.address), c.allowed) << c.address;

  const AccessPolicy local({}, "s3gr3do");
  EXPECT_TRUE(local.clientAllowed("127.0.0.9"));
  EXPECT_TRUE(local.clientAllowed("::1"));
  EXPECT_FALSE(local.clientAllowed("192.168.0.1"));
  EXPECT_TRUE(local.tokenAccepted("Bearer s3gr3do"));
  for (const char* wrong : {"", "Bearer ", "Bearer s3gr3d", "Bearer s3gr3doo", "Basic s3gr3do", "s3gr3do"})
    EXPECT_FALSE(local.tokenAccepted(wrong)) << wrong;
  EXPECT_TRUE(AccessPolicy({}, "").tokenAccepted(""));
}

TEST(HubFields, ChecksEveryFieldBeforeTheDevice) {
  const std::string key = "CFe" + std::string(44, '1');
  const std::string bigSale(kSaleLimitBytes + 1, 'x');
  const struct {
    const char* funcao;
    std::multimap<std::string, std::string> form;
    int status;  // 0: accepted
  } cases[] = {
      {"consultarsat", {{"numero_caixa", "0"}}, 0},
      {"consultarsat", {{"numero_caixa", "999"}, {"outro", "ignorado"}}, 0},
      {"consultarsat", {}, 400},
      {"consultarsat", {{"numero_caixa", "1000"}}, 400},
      {"consultarsat", {{"numero_caixa", "-1"}}, 400},
      {"consultarsat", {{"numero_caixa", " 1"}}, 400},
      {"consultarsat", {{"numero_caixa", "1"}, {"numero_caixa", "2"}}, 400},
      {"consultarsat", {{"numero_caixa", "1"}, {"id_requisicao", std::string(64, 'a')}}, 0},
      {"consultarsat", {{"numero_caixa", "1"}, {"id_requisicao", std::string(65, 'a')}}, 400},
      {"consultarsat", {{"numero_caixa", "1"}, {"id_requisicao", "a\nb"}}, 400},
      {"ativarsat", {{"numero_caixa", "1"}, {"tipo_certificado", "1"}, {"cnpj", "58473629000139"}, {"codigo_uf", "35"}}, 0},
      {"ativarsat", {{"numero_caixa", "1"}, {"tipo_certificado", "4"}, {"cnpj", "58473629000139"}, {"codigo_uf", "35"}}, 400},
      {"ativarsat", {{"numero_caixa", "1"}, {"tipo_certificado", "1"}, {"cnpj", "5847362900013"}, {"codigo_uf", "35"}}, 400},
      {"ativarsat", {{"numero_caixa", "1"}, {"tipo_certificado", "1"}, {"cnpj", "58473629000139"}}, 400},
      {"enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", "<CFe>a|b</CFe>"}}, 0},
      {"enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", "<CFe>\xc3\x28</CFe>"}}, 400},
      {"enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", std::string("<CFe>\0</CFe>", 12)}}, 400},
      {"enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", ""}}, 400},
      {"enviardadosvenda", {{"numero_caixa", "1"}, {"dados_venda", bigSale}}, 413},
      {"cancelarultimavenda", {{"numero_caixa", "1"}, {"chave_cfe", key}, {"dados_cancelamento", "<CFeCanc/>"}}, 0},
      {"cancelarultimavenda", {{"numero_caixa", "1"}, {"chave_cfe", key.substr(3)}, {"dados_cancelamento", "<x/>"}}, 400},
      {"comunicarcertificadoicpbrasil", {{"numero_caixa", "1"}, {"certificado", "MIIB|7"}}, 400},
      {"configurarinterfacederede", {{"numero_caixa", "1"}, {"configuracao", "<config>\n<tipoLan>DHCP</tipoLan></config>"}}, 0},
      {"configurarinterfacederede", {{"numero_caixa", "1"}, {"configuracao", "<config>|</config>"}}, 400},
      {"consultarnumerosessao", {{"numero_caixa", "1"}, {"numero_sessao", "0"}}, 400},
      {"consultarnumerosessao", {{"numero_caixa", "1"}, {"numero_sessao", "999999"}}, 0},
      {"associarassinatura", {{"numero_caixa", "1"}, {"sequencia_cnpj", std::string(28, '9')}, {"assinatura_ac", "QUJD"}}, 0},
      {"associarassinatura", {{"numero_caixa", "1"}, {"sequencia_cnpj", std::string(27, '9')}, {"assinatura_ac", "QUJD"}}, 400},
      {"trocarcodigodeativacao", {{"numero_caixa", "1"}, {"novo_codigo_ativacao", "87654321"}, {"opcao", "1"}}, 0},
      {"trocarcodigodeativacao", {{"numero_caixa", "1"}, {"novo_codigo_ativacao", "8765"}, {"opcao", "1"}}, 400},
      {"trocarcodigodeativacao", {{"numero_caixa", "1"}, {"novo_codigo_ativacao", "87654321"}, {"opcao", "2"}}, 400},
      {"trocarcodigodeativacao", {{"numero_caixa", "1"}, {"novo_codigo_ativacao", "87654321"}, {"opcao", "2"}, {"codigo_emergencia", "emergencia1"}}, 0},
  };
  for (const auto& c : cases) {
    HubRequest request;
    FieldError error;
    const bool ok = parseRequest(*findFunction(c.funcao), c.form, &request, &error);
    EXPECT_EQ(ok ? 0 : error.status, c.status) << c.funcao << " " << error.erro;
    if (!ok) {
      EXPECT_FALSE(error.erro.empty());
    }
  }
}

TEST(HubSessions, EachCheckoutCyclesItsOwnRange) {
  EXPECT_EQ(nextSession(0, 0, 0), 1);
  EXPECT_EQ(nextSession(7, 0, 5), 7006);
  EXPECT_EQ(nextSession(7, 7998, 0), 7999);
  EXPECT_EQ(nextSession(7, 7999, 0), 7001);
  EXPECT_EQ(nextSession(999, 0, 998), 999999);
  EXPECT_EQ(nextSession(3, 7005, 0), 3001);  // another checkout's number: start afresh
  std::vector<int> drawn;
  int last = 0;
  for (int i = 0; i < 3000; ++i) drawn.push_back(last = nextSession(42, last, 17));
  for (size_t i = 0; i < drawn.size(); ++i) {
    EXPECT_GT(drawn[i], 42000);
    EXPECT_LT(drawn[i], 43000);
    for (size_t back = 1; back <= 100 && back <= i; ++back) ASSERT_NE(drawn[i], drawn[i - back]);
  }
}

TEST(HubJournal, RecordsRequestsAndKeepsSessionsAcrossReopeningAndRotation) {
  TempDir dir;
  std::string error;
  const std::string path = dir.file("diario.db");
  int firstSession = 0;
  {
    auto journal = Journal::open(path, &error);
    ASSERT_TRUE(journal) << error;
    JournalEntry sale;
    sale.instante = 1000;  // far in the past: rotated by age below
    sale.caixa = 4;
    sale.funcao = "EnviarDadosVenda";
    sale.cliente = "127.0.0.1";
    sale.tamanho = 321;
    sale.idRequisicao = "venda-1";
    ASSERT_TRUE(journal->begin(sale));
    firstSession = sale.sessao;
    EXPECT_GT(sale.sessao, 4000);
    EXPECT_LT(sale.sessao, 5000);
    EXPECT_EQ(journal->find(4, "venda-1")->estado, estado::kEnviada);
    EXPECT_FALSE(journal->find(4, "venda-1")->resposta);
    EXPECT_FALSE(journal->find(5, "venda-1"));

    ASSERT_TRUE(journal->finish(sale.row, estado::kRespondida, std::string("004001|06000|..."), ""));
    const JournalEntry found = *journal->find(4, "venda-1");
    EXPECT_EQ(found.resposta, std::string("004001|06000|..."));
    EXPECT_EQ(found.sessao, firstSession);
    EXPECT_EQ(found.tamanho, 321);

    JournalEntry expired = sale;
    expired.idRequisicao = "venda-2";
    expired.erro = "prazo";
    ASSERT_TRUE(journal->refuse(expired));
    EXPECT_FALSE(journal->find(4, "venda-2")) << "a refused request never reached the device";
    EXPECT_EQ(journal->recent(10).size(), 2u);
  }
  auto journal = Journal::open(path, &error);
  ASSERT_TRUE(journal) << error;
  EXPECT_EQ(journal->lastSession(4), firstSession);
  EXPECT_EQ(journal->rotate(1, 0, nowMilliseconds()), 2);
  EXPECT_TRUE(journal->recent(10).empty());
  JournalEntry next;
  next.caixa = 4;
  next.funcao = "ConsultarSAT";
  ASSERT_TRUE(journal->begin(next));
  // One number skipped after reopening: a query may have used it unrecorded.
  EXPECT_EQ(next.sessao, nextSession(4, nextSession(4, firstSession))) << "rotation keeps each checkout's place";
  JournalEntry query = next;
  query.sessao = journal->drawSession(4);
  query.estado = estado::kRespondida;
  query.resposta = "resposta";
  ASSERT_TRUE(journal->record(query));
  EXPECT_EQ(query.sessao, nextSession(4, next.sessao));
  EXPECT_EQ(journal->lastSession(4), query.sessao);
}

// A request journalled without an answer keeps its session number: the
// checkout goes round its 999 numbers past it, so that the device's answer
// under that number stays this request's.
TEST(HubJournal, ANumberWhoseRequestAwaitsItsAnswerIsNeverDrawnAgain) {
  TempDir dir;
  std::string error;
  auto journal = Journal::open(dir.file("diario.db"), &error);
  ASSERT_TRUE(journal) << error;
  JournalEntry unsent = saleEntry(7, "sem-resposta");
  ASSERT_TRUE(journal->begin(unsent));
  for (int i = 0; i < 2 * 999; ++i) ASSERT_NE(journal->drawSession(7), unsent.sessao) << "draw " << i;
  // Once answered, the number comes round again.
  ASSERT_TRUE(journal->finish(unsent.row, estado::kRespondida, std::string("resposta"), ""));
  std::set<int> drawn;
  for (int i = 0; i < 999; ++i) drawn.insert(journal->drawSession(7));
  EXPECT_EQ(drawn.count(unsent.sessao), 1u);
}

// A journal that lost its contents is told from a new installation by the
// marker written when it was created.
TEST(HubJournal, AnEmptiedOrMissingJournalIsRefusedUntilItsMarkerGoes) {
  TempDir dir;
  std::string error;
  const std::string path = dir.file("diario.db");
  {
    auto journal = Journal::open(path, &error);
    ASSERT_TRUE(journal) << error;
    JournalEntry sale = saleEntry(1, "venda-1");
    ASSERT_TRUE(journal->begin(sale));
  }
  ASSERT_TRUE(Journal::open(path, &error)) << "a journal with its contents opens again: " << error;
  for (const bool removed : {false, true}) {
    if (removed)
      std::remove(path.c_str());
    else
      writeFileEmpty(path);
    error.clear();
    EXPECT_FALSE(Journal::open(path, &error)) << (removed ? "removed" : "emptied");
    EXPECT_NE(error.find("apague " + markerPath(path)), std::string::npos) << error;
  }
  std::remove(markerPath(path).c_str());
  auto fresh = Journal::open(path, &error);
  ASSERT_TRUE(fresh) << error;
  EXPECT_FALSE(fresh->find(1, "venda-1"));
}

// Root starting the hub by hand over the service's journal would leave it
// files the service cannot write: refused, naming the user to run as.
TEST(HubJournal, RootIsToldToRunAsTheJournalsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  const std::string path = dir.file("diario.db");
  EXPECT_EQ(ownerProblem(path), "") << "root's own folder";
  ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
  EXPECT_NE(ownerProblem(path).find("pertence ao usuário"), std::string::npos) << ownerProblem(path);
  writeFileEmpty(path);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  HubConfig config = tivaxhubtest::testConfig(dir);
  Hub hub(config, "");
  std::string error;
  EXPECT_FALSE(hub.start(false, &error));
  EXPECT_NE(error.find(path + " pertence ao usuário"), std::string::npos) << error;
  EXPECT_NE(error.find("execute o hub como"), std::string::npos) << error;
}

TEST(HubJournal, RotationBySizeRemovesTheOldest) {
  TempDir dir;
  std::string error;
  auto journal = Journal::open(dir.file("diario.db"), &error);
  ASSERT_TRUE(journal) << error;
  const std::string answer(4096, 'r');
  for (int i = 0; i < 600; ++i) {
    JournalEntry e;
    e.instante = nowMilliseconds();
    e.caixa = i % 10;
    e.funcao = "ConsultarSAT";
    ASSERT_TRUE(journal->begin(e));
    ASSERT_TRUE(journal->finish(e.row, estado::kRespondida, answer, ""));
  }
  EXPECT_GT(journal->rotate(0, 1 << 20, nowMilliseconds()), 0);
  const std::vector<JournalEntry> left = journal->recent(1000);
  ASSERT_FALSE(left.empty());
  EXPECT_LT(left.size(), 300u);
  EXPECT_EQ(left.front().row, 600) << "the newest stay";
}

TEST(HubQueue, TakesCheckoutsInTurnAndWithdrawsWhatExpiresOrOutlivesTheStop) {
  DeviceQueue queue(nullptr, std::chrono::milliseconds(60000));
  queue.start();
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::promise<void> holding;
  std::vector<std::string> order;
  auto hold = queue.submit(0, [&] {
    holding.set_value();
    gate.wait();
  });
  holding.get_future().wait();  // the worker is inside the first work now

  std::vector<std::shared_ptr<DeviceQueue::Ticket>> tickets;
  for (const auto& [caixa, name] : std::vector<std::pair<int, std::string>>{
           {1, "a1"}, {1, "a2"}, {1, "a3"}, {2, "b1"}, {3, "c1"}})
    tickets.push_back(queue.submit(caixa, [&order, name = name] { order.push_back(name); }));
  auto late = queue.submit(2, [&order] { order.push_back("expired"); });
  EXPECT_EQ(queue.length(), 6u);
  EXPECT_EQ(queue.waitStarted(late, DeviceQueue::Clock::now()), DeviceQueue::Wait::Expired);
  EXPECT_EQ(queue.length(), 5u);

  release.set_value();
  for (auto& t : tickets) {
    EXPECT_EQ(queue.waitStarted(t, DeviceQueue::Clock::now() + std::chrono::hours(1)),
              DeviceQueue::Wait::Started);
    queue.waitDone(t);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "c1", "a2", "a3"}));

  // Stopping: the work under way ends, what waits is withdrawn.
  std::promise<void> release2;
  std::shared_future<void> gate2 = release2.get_future().share();
  std::promise<void> holding2;
  auto running = queue.submit(5, [&] {
    holding2.set_value();
    gate2.wait();
  });
  holding2.get_future().wait();
  auto waiting = queue.submit(6, [&order] { order.push_back("after stop"); });
  std::thread stopper([&] { queue.stop(); });
  EXPECT_EQ(queue.waitStarted(waiting, DeviceQueue::Clock::now() + std::chrono::hours(1)),
            DeviceQueue::Wait::Stopping);
  release2.set_value();
  stopper.join();
  EXPECT_EQ(queue.submit(1, [] {}), nullptr);
  EXPECT_EQ(order.size(), 5u);
}

}  // namespace
}  // namespace tivaxhub
