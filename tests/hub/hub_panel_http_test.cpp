// SPDX-License-Identifier: MIT
// The page, its state and the CF-e archive over HTTP against the emulated
// device, with the hub asking for the device's status every second.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zip.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "base64.h"
#include "cfe_archive.h"
#include "hub_support.h"
#include "journal.h"

namespace tivaxhubtest {
namespace {

const std::string kSerial = "900004019";

LiveHub* g_live = nullptr;

class PanelEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete g_live;
    g_live = nullptr;
  }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new PanelEnvironment);

LiveHub& panelHub() {
  if (!g_live) {
    static TempDir dir;
    tivaxhub::HubConfig config = testConfig(dir);
    config.consultaStatus = 1;
    g_live = new LiveHub(config);
  }
  return *g_live;
}

// Polls `done` until it holds or `seconds` pass.
template <typename Predicate>
bool waitFor(Predicate done, double seconds = 30) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < giveUp) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

std::vector<std::string> listFolder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream fields(line);
    while (std::getline(fields, cell, ';')) cells.push_back(cell);
    if (!line.empty() && line.back() == ';') cells.push_back("");
    rows.push_back(cells);
  }
  return rows;
}

long cents(const std::string& total) {
  const size_t dot = total.find('.');
  return std::stol(total.substr(0, dot)) * 100 + std::stol(total.substr(dot + 1));
}

// The bytes of each member of a zip held in memory.
std::map<std::string, std::string> unzip(const std::string& bytes) {
  std::map<std::string, std::string> members;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (!archive) {
    if (source) zip_source_free(source);
    ADD_FAILURE() << "not a zip: " << zip_error_strerror(&error);
    zip_error_fini(&error);
    return members;
  }
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st);
    std::string data(static_cast<size_t>(st.size), '\0');
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    zip_fread(file, data.data(), st.size);
    zip_fclose(file);
    members[st.name] = data;
  }
  zip_close(archive);
  zip_error_fini(&error);
  return members;
}

class HubPanel : public ::testing::Test {
 protected:
  void SetUp() override {
    live = &panelHub();
    http = live->client();
  }
  nlohmann::json estado(const std::string& query = "") {
    const Answer a = get(*http, "/hub/v1/estado" + query);
    EXPECT_EQ(a.status, 200) << a.body.dump();
    return a.body;
  }
  // A sale at checkout `caixa`; its answer line.
  std::string sell(int caixa) {
    const Answer a = post(*http, "enviardadosvenda", {{"numero_caixa", std::to_string(caixa)}, {"dados_venda", exampleSale()}});
    EXPECT_EQ(field(a.body.value("retorno", ""), 1), "06000") << a.body.dump().substr(0, 300);
    return a.body.value("retorno", "");
  }
  std::string cancel(int caixa, const std::string& key) {
    const Answer a = post(*http, "cancelarultimavenda",
                          {{"numero_caixa", std::to_string(caixa)}, {"chave_cfe", key},
                           {"dados_cancelamento", cancellationOf(key)}});
    EXPECT_EQ(field(a.body.value("retorno", ""), 1), "07000") << a.body.dump().substr(0, 300);
    return a.body.value("retorno", "");
  }
  LiveHub* live = nullptr;
  std::unique_ptr<HttpClient> http;
};

TEST_F(HubPanel, TheStateShowsTheDevicesHealthAndTheLatestSales) {
  nlohmann::json e;
  ASSERT_TRUE(waitFor([&] {
    e = estado();
    return e["saude"]["status"].is_object();
  })) << e.dump();
  const nlohmann::json& s = e["saude"]["status"];
  EXPECT_EQ(s["numero_serie"], kSerial);
  EXPECT_EQ(s["estado"]["texto"], "desbloqueado");
  EXPECT_EQ(s["firmware"], "01.00.00");
  EXPECT_EQ(s["bateria"], "ALTO");
  EXPECT_TRUE(s["certificado"]["dias_restantes"].is_number());
  EXPECT_LE(std::abs(s["relogio"]["diferenca_segundos"].get<double>()), 2.0);
  EXPECT_EQ(e["equipamento"]["conectado"], true);
  EXPECT_EQ(e["alertas"].size(), 0u) << e["alertas"].dump();
  EXPECT_EQ(e["minutos"].size(), 60u);

  const std::string line = sell(7);
  const nlohmann::json listed = estado();
  ASSERT_FALSE(listed["diario"].empty());
  const nlohmann::json& newest = listed["diario"][0].at("funcao") == "EnviarDadosVenda" ? listed["diario"][0]
                                                                                          : listed["diario"][1];
  EXPECT_EQ(newest["caixa"], 7);
  EXPECT_EQ(newest["codigo"], "06000");
  EXPECT_EQ(newest["venda"]["chave"], field(line, 8));
  EXPECT_EQ(newest["venda"]["total"], field(line, 9));
  EXPECT_TRUE(newest["duracao_ms"].is_number());
  long answered = 0;
  for (const auto& m : listed["minutos"]) answered += m["respondidas"].get<long>();
  EXPECT_GE(answered, 2) << "the sale and the hub's own status queries";

  const nlohmann::json seven = estado("?caixa=7");
  ASSERT_FALSE(seven["diario"].empty());
  for (const auto& entry : seven["diario"]) EXPECT_EQ(entry["caixa"], 7);
  for (const char* wrong : {"?caixa=abc", "?caixa=1000", "?caixa=-1", "?caixa="})
    EXPECT_EQ(get(*http, std::string("/hub/v1/estado") + wrong).status, 400) << wrong;
}

TEST_F(HubPanel, LookingAtThePageNeverAsksTheDevice) {
  const std::uint64_t before = live->device().requestCount();
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 40; ++i) estado();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // Only the hub's own query, once a second, may have reached it meanwhile.
  EXPECT_LE(live->device().requestCount() - before, static_cast<std::uint64_t>(seconds) + 2);
}

TEST_F(HubPanel, ThePageCarriesNoDataAndIsServedWithoutTheToken) {
  tivaxhub::HubConfig guarded = live->config();
  guarded.token = "s3gr3do";
  int port = 0;
  auto server = live->serve(guarded, &port);
  std::thread serving([&] { server->run(); });
  server->waitServing();
  auto client = live->client(port);

  for (const char* path : {"/", "/painel", "/painel/painel.js", "/painel/painel.css"}) {
    HttpReply res = client->get(path);
    EXPECT_EQ(res.status, 200) << path;
    EXPECT_EQ(res.body.find(kSerial), std::string::npos) << path;
    EXPECT_NE(res.headers["content-security-policy"].find("default-src 'none'"), std::string::npos);
  }
  HttpReply html = client->get("/");
  EXPECT_EQ(html.headers["content-type"], "text/html; charset=utf-8");
  EXPECT_NE(html.body.find("content=\"/hub/v1\""), std::string::npos);
  EXPECT_EQ(client->get("/painel/outro.js").status, 404);
  EXPECT_EQ(client->get("/hub/v1/estado").status, 403);
  EXPECT_EQ(client->get("/hub/v1/arquivo?de=2026-01-01&ate=2026-01-31").status, 403);
  EXPECT_EQ(client->request("GET", "/hub/v1/estado", {{"Authorization", "Bearer s3gr3do"}}).status, 200);

  tivaxhub::HubConfig elsewhere = live->config();
  elsewhere.clientes = {"10.0.0.0/8"};
  int farPort = 0;
  auto far = live->serve(elsewhere, &farPort);
  std::thread farServing([&] { far->run(); });
  far->waitServing();
  EXPECT_EQ(live->client(farPort)->get("/").status, 403) << "the allow-list applies to the page too";

  server->stop();
  far->stop();
  serving.join();
  farServing.join();
}

TEST_F(HubPanel, MetricsCarryTheHealthAndPassPromtool) {
  ASSERT_TRUE(waitFor([&] { return estado()["saude"]["status"].is_object(); }));
  const HttpReply res = http->get("/metrics");
  ASSERT_EQ(res.status, 200);
  for (const char* gauge : {"tivax_hub_bateria_nivel 2", "tivax_hub_memoria_uso_razao ", "tivax_hub_certificado_dias_restantes ",
                            "tivax_hub_relogio_diferenca_segundos ", "tivax_hub_bloqueado 0", "tivax_hub_diario_falhas_total 0"})
    EXPECT_NE(res.body.find(gauge), std::string::npos) << gauge;
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool não instalado";
  TempDir dir;
  writeFile(dir.file("metrics.txt"), res.body);
  const int status = std::system(("promtool check metrics < " + dir.file("metrics.txt") + " > " + dir.file("out.txt") + " 2>&1").c_str());
  EXPECT_EQ(status, 0) << readFile(dir.file("out.txt"));
}

TEST_F(HubPanel, TheArchiveOfADayIsTheDevicesOwnDocuments) {
  // Sales on three checkouts, every other one cancelled.
  std::map<std::string, std::string> sent;  // file name -> the answer's base64
  std::map<std::string, std::string> cancelledBy;
  std::set<std::string> days;
  long soldCents = 0;
  for (int i = 0; i < 6; ++i) {
    const int caixa = 1 + i % 3;
    const std::string sale = sell(caixa);
    const std::string key = field(sale, 8).substr(3);
    sent["CFe" + key + ".xml"] = field(sale, 6);
    days.insert(field(sale, 7).substr(0, 8));
    soldCents += cents(field(sale, 9));
    if (i % 2 == 0) {
      const std::string cancellation = cancel(caixa, "CFe" + key);
      const std::string cancelKey = field(cancellation, 8).substr(3);
      sent["CFeCanc" + cancelKey + ".xml"] = field(cancellation, 6);
      cancelledBy[key] = cancelKey;
    }
  }
  auto iso = [](const std::string& d) { return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2); };
  const std::string de = iso(*days.begin()), ate = iso(*days.rbegin());

  TempDir out;
  std::string error;
  tivaxhub::Period period;
  ASSERT_TRUE(tivaxhub::parsePeriod(de, ate, &period, &error)) << error;
  auto journal = tivaxhub::Journal::open(live->config().diario, &error, true);
  ASSERT_TRUE(journal) << error;
  tivaxhub::ArchiveSummary summary;
  ASSERT_TRUE(tivaxhub::writeArchive(*journal, period, out.file("cfe"), &summary, &error)) << error;

  // Byte for byte what the device signed (the day may hold earlier sales
  // of this program too: they must be as sound).
  const std::vector<std::string> files = listFolder(out.file("cfe"));
  for (const auto& doc : sent) {
    ASSERT_TRUE(std::count(files.begin(), files.end(), doc.first)) << doc.first;
    EXPECT_EQ(tivaxemu::base64Encode(readFile(out.file("cfe/" + doc.first))), doc.second) << doc.first;
  }
  const auto rows = csvRows(readFile(out.file("cfe/resumo.csv")));
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], (std::vector<std::string>{"chave", "tipo", "data_hora", "caixa", "total",
                                               "cpf_cnpj_destinatario", "cancelada_por"}));
  EXPECT_EQ(rows.size() - 1, files.size() - 1) << "one row per document";
  EXPECT_EQ(summary.vendas + summary.cancelamentos, files.size() - 1);
  long ourCents = 0, csvSaleCents = 0, xmlSaleCents = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ASSERT_EQ(r.size(), 7u);
    const bool sale = r[1] == "venda";
    const std::string xml = readFile(out.file("cfe/" + std::string(sale ? "CFe" : "CFeCanc") + r[0] + ".xml"));
    const size_t at = xml.find("<vCFe>");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(xml.substr(at + 6, xml.find("</vCFe>") - at - 6), r[4]) << "the total is the document's";
    if (!sale) continue;
    csvSaleCents += cents(r[4]);
    xmlSaleCents += cents(xml.substr(at + 6, xml.find("</vCFe>") - at - 6));
    if (sent.count("CFe" + r[0] + ".xml")) {
      ourCents += cents(r[4]);
      EXPECT_EQ(r[6], cancelledBy.count(r[0]) ? cancelledBy[r[0]] : "") << r[0];
      EXPECT_GE(std::stoi(r[3]), 1);
      EXPECT_LE(std::stoi(r[3]), 3);
    }
  }
  EXPECT_EQ(ourCents, soldCents);
  EXPECT_EQ(csvSaleCents, xmlSaleCents);

  // The same, zipped, from the page's route.
  HttpReply zipped = http->get("/hub/v1/arquivo?de=" + de + "&ate=" + ate);
  ASSERT_EQ(zipped.status, 200) << zipped.body;
  EXPECT_EQ(zipped.headers["content-type"], "application/zip");
  const std::map<std::string, std::string> members = unzip(zipped.body);
  EXPECT_EQ(members.size(), files.size());
  for (const std::string& name : files) EXPECT_EQ(members.at(name), readFile(out.file("cfe/" + name))) << name;

  // And from the command line, into a folder and a zip.
  writeFile(out.file("hub.conf"), "codigo_ativacao = 12345678\ndiario = " + live->config().diario + "\n");
  const std::string command = std::string(TIVAX_HUB_PROGRAM) + " arquivo --config " + out.file("hub.conf") +
                              " --de " + de + " --ate " + ate + " --para " + out.file("cli") + " --zip " +
                              out.file("cli.zip") + " > " + out.file("cli.txt") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << readFile(out.file("cli.txt"));
  EXPECT_EQ(listFolder(out.file("cli")), files);
  for (const std::string& name : files)
    EXPECT_EQ(readFile(out.file("cli/" + name)), readFile(out.file("cfe/" + name))) << name;
  EXPECT_EQ(unzip(readFile(out.file("cli.zip"))).size(), files.size());
}

TEST_F(HubPanel, AnEmptyPeriodGivesAnEmptyFolderAndAHeader) {
  TempDir out;
  std::string error;
  tivaxhub::Period period;
  ASSERT_TRUE(tivaxhub::parsePeriod("2001-01-01", "2001-01-31", &period, &error));
  auto journal = tivaxhub::Journal::open(live->config().diario, &error, true);
  ASSERT_TRUE(journal) << error;
  tivaxhub::ArchiveSummary summary;
  ASSERT_TRUE(tivaxhub::writeArchive(*journal, period, out.file("vazio"), &summary, &error)) << error;
  EXPECT_EQ(listFolder(out.file("vazio")), std::vector<std::string>{"resumo.csv"});
  EXPECT_EQ(readFile(out.file("vazio/resumo.csv")), "chave;tipo;data_hora;caixa;total;cpf_cnpj_destinatario;cancelada_por\r\n");

  const HttpReply zipped = http->get("/hub/v1/arquivo?de=2001-01-01&ate=2001-01-31");
  ASSERT_EQ(zipped.status, 200);
  EXPECT_EQ(unzip(zipped.body).size(), 1u);
  for (const char* wrong : {"?de=2001-01-01", "?de=2001-02-30&ate=2001-03-01", "?de=2001-03-01&ate=2001-02-01"})
    EXPECT_EQ(get(*http, std::string("/hub/v1/arquivo") + wrong).status, 400) << wrong;
}

TEST_F(HubPanel, ABlockedDeviceShowsAtTheTopAndInMetrics) {
  ASSERT_EQ(field(post(*http, "bloquearsat", {{"numero_caixa", "1"}}).body.value("retorno", ""), 1), "16000");
  nlohmann::json e;
  EXPECT_TRUE(waitFor([&] {
    e = estado();
    return !e["alertas"].empty() && e["alertas"][0]["codigo"] == "bloqueado";
  })) << e.dump();
  EXPECT_EQ(e["alertas"][0]["nivel"], "critico");
  EXPECT_EQ(e["saude"]["status"]["estado"]["texto"], "bloqueado pelo contribuinte");
  EXPECT_NE(http->get("/metrics").body.find("tivax_hub_bloqueado 1\n"), std::string::npos);
  ASSERT_EQ(field(post(*http, "desbloquearsat", {{"numero_caixa", "1"}}).body.value("retorno", ""), 1), "17000");
  EXPECT_TRUE(waitFor([&] { return estado()["alertas"].empty(); }));
}

// Last: the device goes away and comes back.
TEST_F(HubPanel, AnUnreachableDeviceShowsAtTheTop) {
  live->stopDevice();
  nlohmann::json e;
  EXPECT_TRUE(waitFor([&] {
    e = estado();
    return e["equipamento"]["conectado"] == false;
  })) << e.dump();
  ASSERT_FALSE(e["alertas"].empty());
  EXPECT_EQ(e["alertas"][0]["codigo"], "inacessivel");
  EXPECT_NE(e["alertas"][0]["texto"].get<std::string>().find("inacessível"), std::string::npos);
  EXPECT_EQ(e["saude"]["status"]["numero_serie"], kSerial) << "the last reading stays on show";
  live->startDevice();
  ASSERT_TRUE(live->waitLinkUp());
  EXPECT_TRUE(waitFor([&] { return estado()["saude"]["respondeu"] == true; }));
}

}  // namespace
}  // namespace tivaxhubtest
