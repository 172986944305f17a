// SPDX-License-Identifier: MIT
// The page's and the archive's pieces without HTTP: the status answer
// decoded, the minute counters, base64, periods, the health in /metrics,
// and the journal keeping the CF-e past its other entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <tuple>
#include <vector>

#include "activity.h"
#include "cfe_archive.h"
#include "config.h"
#include "device_health.h"
#include "device_queue.h"
#include "hub_support.h"
#include "journal.h"

namespace tivaxhub {
namespace {

using tivaxhubtest::TempDir;

// sessão|10000|mensagem|cod|mensagemSEFAZ| and the status's 23 fields.
std::string statusLine(const std::string& bateria, const std::string& total, const std::string& usada,
                       const std::string& relogio, const std::string& vencimento, const std::string& estado,
                       const std::string& ultimo = std::string(44, '0')) {
  return "000123|10000|Resposta com Sucesso.|||900004019|DHCP|192.168.1.50|00:1a:2b:3c:4d:5e|255.255.255.0|"
         "192.168.1.1|8.8.8.8|8.8.4.4|CONECTADO|" +
         bateria + "|" + total + "|" + usada + "|" + relogio + "|01.00.00|00.07|" + ultimo + "|" + ultimo + "|" +
         ultimo + "|00000000000000|" + relogio + "|20240101|" + vencimento + "|" + estado;
}

TEST(DeviceHealth, DecodesTheStatusAnswer) {
  DeviceStatus s;
  ASSERT_TRUE(parseStatusLine(statusLine("MEDIO", "4 GB", "3355443 KB", "20261209120000", "20270101", "2",
                                         "35261258473629000139599000040190000011126481"),
                              &s));
  EXPECT_EQ(s.serie, "900004019");
  EXPECT_EQ(s.bateria, "MEDIO");
  EXPECT_EQ(batteryLevel(s.bateria), 1);
  EXPECT_EQ(s.memoriaTotal, 4LL << 30);
  EXPECT_EQ(s.memoriaUsada, 3355443LL * 1024);
  EXPECT_NEAR(memoryShare(s), 0.8, 0.001);
  EXPECT_EQ(s.firmware, "01.00.00");
  EXPECT_EQ(s.layout, "00.07");
  EXPECT_EQ(s.ultimoCfe, "CFe35261258473629000139599000040190000011126481");
  EXPECT_EQ(s.estadoOperacao, 2);
  EXPECT_EQ(operationState(2), "bloqueado pelo contribuinte");

  ASSERT_TRUE(parseStatusLine(statusLine("ALTO", "4 GB", "0 KB", "20261209120000", "20290101", "0"), &s));
  EXPECT_EQ(s.ultimoCfe, "") << "the all-zero key means none issued";

  for (const std::string& wrong :
       {std::string("000123|10001|Código de ativação inválido|||"), std::string(""), std::string("1|10000|a|b|c|d")})
    EXPECT_FALSE(parseStatusLine(wrong, &s)) << wrong;
}

TEST(DeviceHealth, ReadsSizesAndDeviceTimes) {
  const struct {
    const char* text;
    std::int64_t bytes;
  } sizes[] = {{"4 GB", 4LL << 30}, {"512 KB", 512 * 1024}, {"10 MB", 10 << 20}, {"1024", 1024},
               {"7 kb", 7 * 1024},  {"", -1},                {"GB", -1},          {"3 furlongs", -1}};
  for (const auto& c : sizes) EXPECT_EQ(parseSize(c.text), c.bytes) << c.text;

  // 2026-12-09 12:00:00 in São Paulo is 15:00:00 UTC.
  EXPECT_EQ(deviceTime("20261209120000"), std::optional<std::int64_t>(1796828400));
  EXPECT_EQ(deviceTime("20261209"), std::optional<std::int64_t>(1796828400 - 12 * 3600));
  for (const char* wrong : {"2026120912000", "20261309120000", "20261209250000", "00000000000000", "abcdefgh"})
    EXPECT_FALSE(deviceTime(wrong)) << wrong;

  DeviceStatus s;
  s.certVencimento = "20261231";
  const std::int64_t noonOfTheNinth = 1796828400LL * 1000;
  EXPECT_EQ(certificateDaysLeft(s, noonOfTheNinth), std::optional<int>(21));
  s.certVencimento = "20261201";
  EXPECT_EQ(certificateDaysLeft(s, noonOfTheNinth), std::optional<int>(-9));
  s.certVencimento = "";
  EXPECT_FALSE(certificateDaysLeft(s, noonOfTheNinth));
}

TEST(DeviceHealth, TheLastGoodAnswerOutlivesAFailureAndTheClockIsCompared) {
  StatusPoller poller([](std::string*) { return std::string(); }, 60);
  const std::int64_t asked = 1796828400LL * 1000 - 400;  // the device read 12:00:00 local mid-exchange
  poller.take(statusLine("ALTO", "4 GB", "1 KB", "20261209120000", "20290101", "0"), "", asked, asked + 800);
  HealthReading r = poller.reading();
  EXPECT_TRUE(r.respondeu);
  EXPECT_TRUE(r.relogioConhecido);
  EXPECT_NEAR(r.diferencaRelogio, 0, 0.001);

  poller.take("", "equipamento inacessível: sem resposta", asked + 60000, asked + 61000);
  r = poller.reading();
  EXPECT_FALSE(r.respondeu);
  EXPECT_EQ(r.erro, "equipamento inacessível: sem resposta");
  EXPECT_EQ(r.status.serie, "900004019") << "the last good answer stays";
  EXPECT_EQ(r.statusEm, asked + 800);
}

TEST(DeviceHealth, MetricsCarryTheGaugesOnlyOnceTheDeviceAnswered) {
  HealthReading none;
  const std::string before = healthMetricsText(none, HubCounters{}, 1796828400LL * 1000);
  EXPECT_NE(before.find("tivax_hub_status_ok 0\n"), std::string::npos);
  EXPECT_EQ(before.find("tivax_hub_bateria_nivel"), std::string::npos);

  StatusPoller poller([](std::string*) { return std::string(); }, 60);
  const std::int64_t now = 1796828400LL * 1000;
  poller.take(statusLine("BAIXO", "1000", "900", "20261209120700", "20261231", "1"), "", now, now);
  const std::string text = healthMetricsText(poller.reading(), HubCounters{now, 2, 3}, now);
  for (const char* expected :
       {"tivax_hub_bateria_nivel 0\n", "tivax_hub_memoria_uso_razao 0.9\n", "tivax_hub_certificado_dias_restantes 21\n",
        "tivax_hub_relogio_diferenca_segundos 420\n", "tivax_hub_bloqueado 1\n", "tivax_hub_estado_operacao 1\n",
        "tivax_hub_ultima_venda_timestamp_segundos 1796828400\n", "tivax_hub_diario_falhas_total 2\n",
        "tivax_hub_vendas_recusadas_total 3\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

TEST(Activity, CountsEachMinuteOfTheLastHour) {
  Activity activity;
  const std::int64_t t0 = 1796828400LL * 1000;  // a whole minute
  for (int i = 1; i <= 20; ++i) activity.record("EnviarDadosVenda", Outcome::Answered, i / 100.0, t0 + i);
  activity.record("EnviarDadosVenda", Outcome::Refused, 0.5, t0 + 100);
  activity.record("ConsultarSAT", Outcome::Invalid, 1.0, t0 + 60000);
  activity.record("ConsultarSAT", Outcome::Unreachable, -1, t0 + 60001);
  activity.journalFailure(t0 + 60002);

  std::vector<Activity::Minute> hour = activity.lastHour(t0 + 60500);
  ASSERT_EQ(hour.size(), 60u);
  EXPECT_EQ(hour.back().inicio, t0 + 60000);
  const Activity::Minute& first = hour[58];
  EXPECT_EQ(first.outcomes, (std::array<std::uint64_t, 4>{20, 1, 0, 0}));
  EXPECT_NEAR(first.mediana, 0.11, 1e-6);  // 21 samples: 0.01..0.20 and 0.5
  EXPECT_NEAR(first.p95, 0.20, 1e-6);
  EXPECT_EQ(hour[59].outcomes, (std::array<std::uint64_t, 4>{0, 0, 1, 1}));
  EXPECT_NEAR(hour[59].mediana, 1.0, 1e-6) << "unreachable requests carry no time";
  EXPECT_EQ(hour[0].mediana, -1);
  EXPECT_EQ(activity.refusedSalesLastHour(t0 + 60500), 1u);
  EXPECT_EQ(activity.journalFailuresLastHour(t0 + 60500), 1u);

  // An hour on, the minutes are gone from the window (the totals stay).
  const std::int64_t later = t0 + 61 * 60000;
  EXPECT_EQ(activity.refusedSalesLastHour(later), 0u);
  EXPECT_EQ(activity.journalFailuresLastHour(later), 0u);
  for (const Activity::Minute& m : activity.lastHour(later)) EXPECT_EQ(m.outcomes, (std::array<std::uint64_t, 4>{}));
  EXPECT_EQ(activity.refusedSales(), 1u);
  EXPECT_EQ(activity.journalFailures(), 1u);
}

TEST(Activity, JudgesAnAnswerByItsResultCode) {
  const struct {
    const char* line;
    Outcome outcome;
  } cases[] = {{"001|06000|0000|ok|||x", Outcome::Answered}, {"001|06010|1207|rejeitado|||", Outcome::Refused},
               {"001|04006|CSR criado|||x", Outcome::Answered}, {"001|10000|ok|||", Outcome::Answered},
               {"001|06001|código errado|||", Outcome::Refused}, {"garbage", Outcome::Refused}};
  for (const auto& c : cases) EXPECT_EQ(outcomeOfLine(c.line), c.outcome) << c.line;
}

TEST(CfeArchive, DecodesBase64Strictly) {
  const struct {
    const char* text;
    bool ok;
    const char* bytes;
  } cases[] = {{"", true, ""},         {"TWFu", true, "Man"},  {"TWE=", true, "Ma"}, {"TQ==", true, "M"},
               {"TQ=", false, ""},     {"T===", false, ""},    {"TQ==TWFu", false, ""}, {"TW u", false, ""},
               {"TWFu\n", false, ""},  {"=WFu", false, ""}};
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(decodeBase64(c.text, &out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.bytes) << c.text;
    }
  }
}

TEST(CfeArchive, ReadsPeriodsOfRealDays) {
  Period p;
  std::string error;
  ASSERT_TRUE(parsePeriod("2024-02-01", "2024-02-29", &p, &error)) << error;
  EXPECT_EQ(p.de, "20240201");
  EXPECT_EQ(p.ate, "20240229");
  const std::pair<const char*, const char*> wrong[] = {{"2023-02-01", "2023-02-29"}, {"2026-04-31", "2026-05-01"},
                                                       {"2026-13-01", "2026-13-02"}, {"2026-1-01", "2026-01-02"},
                                                       {"2026-05-02", "2026-05-01"}, {"", "2026-05-01"}};
  for (const auto& w : wrong) EXPECT_FALSE(parsePeriod(w.first, w.second, &p, &error)) << w.first << " " << w.second;
}

TEST(CfeArchive, ReadsTheFiscalAnswersOnly) {
  const std::string key(44, '7');
  FiscalAnswer a;
  ASSERT_TRUE(parseFiscalAnswer("001|06000|0000|ok|||PD94|20261209120000|CFe" + key + "|18.90|12345678909|sig", &a));
  EXPECT_FALSE(a.cancelamento);
  EXPECT_EQ(a.chave, key);
  EXPECT_EQ(a.total, "18.90");
  EXPECT_EQ(a.destinatario, "12345678909");
  ASSERT_TRUE(parseFiscalAnswer("001|07000|0000|ok|||PD94|20261209120000|CFe" + key + "|18.90||sig", &a));
  EXPECT_TRUE(a.cancelamento);
  for (const std::string& no : {std::string("001|06010|1207|rejeitado|||"), std::string("001|06000|0000|ok|||PD94|20261209120000|CFe123|1||"),
                                "001|09000|ok|||PD94|20261209120000|000000|CFe" + key})
    EXPECT_FALSE(parseFiscalAnswer(no, &a)) << no;

  EXPECT_EQ(itemCount("<CFe><det nItem=\"1\"/><det nItem=\"2\"></det><detalhe/></CFe>"), 2);
  EXPECT_EQ(cancelledKey("<infCFe Id=\"CFe1\" chCanc=\"CFe" + key + "\">"), key);
  EXPECT_EQ(cancelledKey("<infCFe Id=\"CFe1\">"), "");
}

TEST(HubConfigPanel, ReadsTheStatusIntervalAndTheRetention) {
  HubConfig c = parseConfig("codigo_ativacao = 12345678\n");
  EXPECT_EQ(c.consultaStatus, 60);
  EXPECT_EQ(c.arquivoDias, 1827);
  c = parseConfig("codigo_ativacao = 12345678\nconsulta_status = 5\narquivo_dias = 0\n");
  EXPECT_EQ(c.consultaStatus, 5);
  EXPECT_EQ(c.arquivoDias, 0);
  for (const char* wrong : {"consulta_status = -1\n", "consulta_status = 1.5\n", "arquivo_dias = -1\n"})
    EXPECT_THROW(parseConfig(std::string("codigo_ativacao = 12345678\n") + wrong), ConfigError) << wrong;
}

TEST(JournalRetention, KeepsTheCfeLongerThanEverythingElse) {
  TempDir dir;
  std::string error;
  auto journal = Journal::open(dir.file("d.db"), &error);
  ASSERT_TRUE(journal) << error;
  const std::int64_t day = 86400000, now = 1796828400LL * 1000;
  auto add = [&](const char* funcao, const char* resposta, std::int64_t age) {
    JournalEntry e;
    e.instante = now - age;
    e.caixa = 1;
    e.funcao = funcao;
    e.estado = estado::kRespondida;
    e.resposta = resposta;
    e.sessao = journal->drawSession(1);
    ASSERT_TRUE(journal->record(e));
  };
  add("EnviarDadosVenda", "1|06000|0000|ok", 100 * day);
  add("CancelarUltimaVenda", "2|07000|0000|ok", 100 * day);
  add("ConsultarSAT", "3|08000|ok", 100 * day);
  add("EnviarDadosVenda", "4|06000|0000|ok", 2000 * day);
  add("EnviarDadosVenda", "5|06000|0000|ok", 1 * day);

  EXPECT_EQ(journal->rotate(90, 0, now, 1827), 2) << "the query, and the sale past five years";
  std::vector<std::string> left;
  for (const JournalEntry& e : journal->recent(10)) left.push_back(e.resposta.value_or(""));
  EXPECT_EQ(left, (std::vector<std::string>{"5|06000|0000|ok", "2|07000|0000|ok", "1|06000|0000|ok"}));
  EXPECT_EQ(journal->lastAcceptedSale() / day, (now - day) / day);
  EXPECT_EQ(journal->recentOf(10, 2).size(), 0u);
}

}  // namespace
}  // namespace tivaxhub

namespace tivaxhub {
namespace {

TEST(DeviceQueueSnapshot, ShowsTheExchangeUnderWayThenEachCheckoutsWaitInServingOrder) {
  DeviceQueue queue(nullptr, std::chrono::hours(1));
  queue.start();
  std::promise<void> started, release;
  std::shared_future<void> go = release.get_future().share();
  auto running = queue.submit(5, [&] {
    started.set_value();
    go.wait();
  }, "EnviarDadosVenda");
  started.get_future().wait();
  auto a = queue.submit(7, [] {}, "ConsultarSAT");
  auto b = queue.submit(7, [] {}, "CancelarUltimaVenda");
  auto c = queue.submit(2, [] {}, "ConsultarStatusOperacional");

  const std::vector<DeviceQueue::Entry> seen = queue.snapshot();
  ASSERT_EQ(seen.size(), 4u);
  const std::vector<std::tuple<int, std::string, bool>> expected = {
      {5, "EnviarDadosVenda", true}, {7, "ConsultarSAT", false}, {7, "CancelarUltimaVenda", false},
      {2, "ConsultarStatusOperacional", false}};
  for (size_t i = 0; i < seen.size(); ++i)
    EXPECT_EQ(std::make_tuple(seen[i].caixa, seen[i].label, seen[i].running), expected[i]) << i;
  EXPECT_LE(seen[1].since, seen[2].since);

  release.set_value();
  for (const auto& ticket : {running, a, b, c}) queue.waitDone(ticket);
  EXPECT_TRUE(queue.snapshot().empty());
  queue.stop();
}

}  // namespace
}  // namespace tivaxhub
