// SPDX-License-Identifier: MIT
// tivax-hub as its own process against a separate tivax-emulator (which
// answers 1.5 s late, and survives the hub): killed with SIGKILL between
// sending a sale and its answer, stopped with SIGTERM mid-exchange,
// restarted on the same journal, refused a configuration others may read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "hub_support.h"
#include "journal.h"

namespace tivaxhubtest {
namespace {

using Clock = std::chrono::steady_clock;

// A child process whose first line of standard output is read; its
// standard error goes to a file.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::string& errorFile) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      FILE* err = std::fopen(errorFile.c_str(), "a");
      if (err) dup2(fileno(err), STDERR_FILENO);
      close(out[0]);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    out_ = fdopen(out[0], "r");
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) std::fclose(out_);
  }
  // The first line of output ("" when the child ends without one).
  std::string firstLine() {
    char* line = nullptr;
    size_t size = 0;
    const ssize_t n = getline(&line, &size, out_);
    std::string text = n > 0 ? std::string(line, static_cast<size_t>(n)) : "";
    std::free(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  // Sends the signal and returns the exit status (-1 for a signal death).
  int stop(int signal) {
    kill(pid_, signal);
    return wait();
  }
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

const char kCode[] = "codigo-secreto-77";

class HubProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator = std::make_unique<Child>(
        std::vector<std::string>{TIVAX_EMULATOR_PROGRAM, "--delay", "--codigo", kCode, "--link", dir.file("sat")},
        dir.file("emulator.err"));
    ASSERT_FALSE(emulator->firstLine().empty());
    writeConfig("hub.conf", "10");
  }
  void writeConfig(const std::string& name, const std::string& prazo) {
    writeFile(dir.file(name), "porta = " + dir.file("sat") + "\ncodigo_ativacao = " + kCode +
                                  "\nescutar = 127.0.0.1:0\ndiario = " + dir.file("diario.db") +
                                  "\nprazo = " + prazo + "\n");
  }
  // Starts the hub and connects a client to the address it prints.
  std::unique_ptr<Child> startHub(const std::string& config = "hub.conf") {
    auto hub = std::make_unique<Child>(std::vector<std::string>{TIVAX_HUB_PROGRAM, "--config", dir.file(config)},
                                       dir.file("hub.err"));
    const std::string address = hub->firstLine();
    EXPECT_FALSE(address.empty()) << readFile(dir.file("hub.err"));
    const size_t colon = address.rfind(':');
    port = std::stoi(address.substr(colon + 1));
    http = std::make_unique<HttpClient>(port);
    return hub;
  }
  // Waits (bounded) until the journal shows the request sent to the device.
  tivaxhub::JournalEntry waitSent(int caixa, const std::string& id) {
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < giveUp) {
      std::string error;
      if (auto journal = tivaxhub::Journal::open(dir.file("diario.db"), &error, true))
        if (auto entry = journal->find(caixa, id)) return *entry;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the request never showed in the journal";
    return {};
  }
  std::future<Answer> postLater(const std::string& funcao, Form form) {
    return std::async(std::launch::async, [port = port, funcao, form] {
      HttpClient own(port);
      return post(own, funcao, form);
    });
  }

  TempDir dir;
  std::unique_ptr<Child> emulator;
  std::unique_ptr<HttpClient> http;
  int port = 0;
};

TEST_F(HubProcess, KilledBetweenSendAndAnswerTheSaleIsRecoveredNotSentTwice) {
  const Form sale = {{"numero_caixa", "2"}, {"id_requisicao", "venda-77"}, {"dados_venda", exampleSale()}};
  auto hub = startHub();
  auto lost = postLater("enviardadosvenda", sale);
  const tivaxhub::JournalEntry sent = waitSent(2, "venda-77");
  EXPECT_EQ(sent.estado, tivaxhub::estado::kEnviada);
  // The line is written within milliseconds of the commit; the device
  // answers 1.5 s after it, so the hub dies in between.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  hub->stop(SIGKILL);
  EXPECT_EQ(lost.get().status, 0) << "no answer from a killed hub";

  {
    std::string error;
    auto journal = tivaxhub::Journal::open(dir.file("diario.db"), &error);
    ASSERT_TRUE(journal) << "a consistent journal after SIGKILL: " << error;
    const auto entry = journal->find(2, "venda-77");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->estado, tivaxhub::estado::kEnviada);
    EXPECT_FALSE(entry->resposta);
    EXPECT_EQ(journal->lastSession(2), sent.sessao);
  }

  hub = startHub();
  const Answer recovered = post(*http, "enviardadosvenda", sale);
  ASSERT_EQ(recovered.status, 200) << recovered.body.dump();
  EXPECT_EQ(recovered.body["numero_sessao"], sent.sessao);
  const std::string line = recovered.body["retorno"];
  EXPECT_EQ(field(line, 1), "06000") << line.substr(0, 100);
  EXPECT_EQ(post(*http, "enviardadosvenda", sale).body, recovered.body);

  // One sale on the device: its last CF-e is the recovered one. The
  // session numbers go on from the journal: after a restart one number is
  // skipped, and the recovery took the next two: the hub's own status
  // query at start (as checkout 0) left the device without the sale's
  // session, so the recovery asked for it and then for the last fiscal
  // session. This query comes after.
  const Answer status = post(*http, "consultarstatusoperacional", {{"numero_caixa", "2"}});
  EXPECT_EQ("CFe" + field(status.body["retorno"], 20), field(line, 8));
  int expected = sent.sessao;
  for (int skipped = 0; skipped < 4; ++skipped) expected = tivaxhub::nextSession(2, expected);
  EXPECT_EQ(status.body["numero_sessao"], expected);

  EXPECT_EQ(hub->stop(SIGTERM), 0);
  // No activation code anywhere in the journal's files.
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(readFile(dir.file("diario.db") + suffix).find(kCode), std::string::npos) << suffix;
  std::string listing = readFile(dir.file("hub.err"));
  EXPECT_EQ(listing.find(kCode), std::string::npos);
}

TEST_F(HubProcess, StoppedMidExchangeItFinishesTheExchangeFirst) {
  auto hub = startHub();
  auto sale = postLater("enviardadosvenda", {{"numero_caixa", "3"}, {"id_requisicao", "ultima"}, {"dados_venda", exampleSale()}});
  waitSent(3, "ultima");
  EXPECT_EQ(hub->stop(SIGTERM), 0);
  const Answer answered = sale.get();
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(field(answered.body.value("retorno", ""), 1), "06000");

  std::string error;
  auto journal = tivaxhub::Journal::open(dir.file("diario.db"), &error, true);
  ASSERT_TRUE(journal) << error;
  EXPECT_EQ(journal->find(3, "ultima")->estado, tivaxhub::estado::kRespondida);

  // And the listing shows it.
  Child listing({TIVAX_HUB_PROGRAM, "diario", "--json", "--config", dir.file("hub.conf")}, dir.file("diario.err"));
  const auto entries = nlohmann::json::parse(listing.firstLine(), nullptr, false);
  ASSERT_TRUE(entries.is_array()) << readFile(dir.file("diario.err"));
  EXPECT_EQ(entries.at(0)["id_requisicao"], "ultima");
  EXPECT_EQ(entries.at(0)["estado"], "respondida");
  EXPECT_EQ(listing.wait(), 0);
}

TEST_F(HubProcess, ARequestWhoseDeadlinePassesInTheQueueGets503) {
  writeConfig("curto.conf", "0.5");
  auto hub = startHub("curto.conf");
  // The device takes 1.5 s per answer: of two requests sent together,
  // one waits past its half-second deadline.
  auto first = postLater("consultarstatusoperacional", {{"numero_caixa", "1"}});
  auto second = postLater("consultarstatusoperacional", {{"numero_caixa", "2"}});
  const Answer a = first.get(), b = second.get();
  const Answer& late = a.status == 503 ? a : b;
  EXPECT_EQ(late.status, 503) << a.body.dump() << " " << b.body.dump();
  EXPECT_NE(late.body.value("erro", "").find("prazo"), std::string::npos) << late.body.dump();
  EXPECT_EQ(hub->stop(SIGTERM), 0);
}

TEST_F(HubProcess, RefusesAConfigurationOthersMayRead) {
  writeConfig("aberta.conf", "10");
  chmod(dir.file("aberta.conf").c_str(), 0644);
  Child hub({TIVAX_HUB_PROGRAM, "--config", dir.file("aberta.conf")}, dir.file("aberta.err"));
  EXPECT_EQ(hub.wait(), 2);
  EXPECT_NE(readFile(dir.file("aberta.err")).find("chmod 600"), std::string::npos);
}

// The example's activation code is a placeholder: a real device counts a
// wrong code toward its lock-out, so the hub does not start with it.
TEST_F(HubProcess, RefusesTheExamplesActivationCode) {
  writeFile(dir.file("exemplo.conf"), "porta = " + dir.file("sat") + "\ncodigo_ativacao = 12345678\nescutar = 127.0.0.1:0\ndiario = " +
                                           dir.file("exemplo.db") + "\n");
  Child hub({TIVAX_HUB_PROGRAM, "--config", dir.file("exemplo.conf")}, dir.file("exemplo.err"));
  EXPECT_EQ(hub.wait(), 2);
  const std::string said = readFile(dir.file("exemplo.err"));
  EXPECT_NE(said.find("ainda é o do exemplo"), std::string::npos) << said;
  EXPECT_NE(said.find("código de ativação do seu equipamento"), std::string::npos) << said;
  // With its own emulated device it runs, as the demonstration does.
  Child emulated({TIVAX_HUB_PROGRAM, "--emulador", "--config", dir.file("exemplo.conf")}, dir.file("exemplo.err"));
  EXPECT_FALSE(emulated.firstLine().empty()) << readFile(dir.file("exemplo.err"));
  EXPECT_EQ(emulated.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tivaxhubtest
