// SPDX-License-Identifier: MIT
// Why calls fail and what the log shows, through the exported functions
// against the emulated device.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "comm/waits.h"
#include "core/tivax.h"
#include "e2e_documents.h"
#include "e2e_link.h"
#include "emulator.h"
#include "log/trace.h"
#include "support/port_holder.h"
#include "tivax.h"
#include "usb/fake_sysfs.h"

namespace tivaxe2e {
namespace {

using Tivaxlib::Comm::setAnswerTimeout;

std::string lastError() { return TivaxlibUltimoErro(); }

bool startsWith(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0;
}

// The log goes to a fresh file for the length of a test.
class LogFile {
 public:
  LogFile() {
    char pattern[] = "/tmp/tivax-log-e2e-XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "";
    path_ = dir_ + "/tivax.log";
    Tivaxlib::Log::setTraceTarget(path_.c_str());
  }
  ~LogFile() {
    Tivaxlib::Log::setTraceTarget(nullptr);
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string text() const {
    std::ifstream in(path_);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  std::string dir_, path_;
};

class WithDeadline {
 public:
  explicit WithDeadline(std::chrono::milliseconds limit) { setAnswerTimeout(limit); }
  ~WithDeadline() { setAnswerTimeout(std::chrono::nanoseconds(0)); }
};

// Waits until the device has seen `count` requests in all.
bool requestsReach(std::uint64_t count) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (device().requestCount() < count) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

using Reasons = LinkedTest;

const int kGarbage = tivaxemu::kGarbageSessions + 1;
const char kGarbageReason[] = "campos insuficientes: ";

// Each thread is told about its own last call, while the other's calls
// run in between.
TEST_F(Reasons, ArePerThread) {
  constexpr int kCalls = 40;
  int failingWrong = 0, validWrong = 0;
  std::thread failing([&] {
    for (int i = 0; i < kCalls; ++i) {
      const std::string answer = take(AtualizarSoftwareSAT(kGarbage, kCode));
      if (!answer.empty() || !startsWith(lastError(), kGarbageReason)) ++failingWrong;
    }
  });
  std::thread valid([&] {
    for (int i = 0; i < kCalls; ++i) {
      const std::string answer = take(ConsultarSAT(100 + i));
      if (answer.empty() || !lastError().empty()) ++validWrong;
    }
  });
  failing.join();
  valid.join();
  EXPECT_EQ(failingWrong, 0);
  EXPECT_EQ(validWrong, 0);
}

// A call that found the link closed says so after its reason; a failed
// open is its own reason, and a valid call says nothing.
TEST_F(Reasons, TellWhenTheCallOpenedTheLink) {
  TivaxlibDeInit();
  EXPECT_EQ(take(AtualizarSoftwareSAT(kGarbage, kCode)), "");
  EXPECT_TRUE(startsWith(lastError(), kGarbageReason));
  EXPECT_NE(lastError().find("(a conexão com o equipamento estava fechada e foi aberta de novo "
                             "nesta chamada)"),
            std::string::npos)
      << lastError();
  TivaxlibDeInit();
  EXPECT_FALSE(take(ConsultarSAT(7)).empty());
  EXPECT_EQ(lastError(), "");
}

// A sale the library refuses itself is an answer, not a failure.
TEST_F(Reasons, SaleRefusedByTheLibraryIsNoFailure) {
  const std::string refusal = take(EnviarDadosVenda(8, kCode, "<CFe><infCFe/></CFe>"));
  EXPECT_EQ(refusal.substr(0, 18), "000008|06010|1999|");
  EXPECT_EQ(lastError(), "");
}

// Every kind of event, for valid and failing exchanges.
TEST_F(Reasons, LogShowsEveryEvent) {
  const LogFile log;
  // Discovery in a tree without the device.
  const TivaxTest::FakeSysfs emptySystem;
  Tivaxlib::Tivax::instance().setSysfsRoots(emptySystem.roots());
  EXPECT_EQ(DispositivoConectado(), 0);
  EXPECT_EQ(lastError(), "nenhum equipamento encontrado: não há terminal ttyACM no sistema");

  TivaxlibDeInit();
  EXPECT_FALSE(take(ConsultarSAT(11)).empty());                         // reconnects
  EXPECT_EQ(take(EnviarDadosVenda(12, kCode, "<CFe/>")).substr(6, 6), "|06010");  // refused
  EXPECT_EQ(take(AtualizarSoftwareSAT(kGarbage, kCode)), "");
  {
    const WithDeadline deadline(std::chrono::milliseconds(200));
    const TivaxTest::OtherProcessHoldingThePort other(device().portPath());
    ASSERT_TRUE(other.holding());
    EXPECT_EQ(take(ConsultarSAT(13)), "");
    EXPECT_TRUE(startsWith(lastError(), "porta ocupada: ")) << lastError();
  }
  {
    const std::uint64_t before = device().requestCount();
    std::thread silent([] { take(AtualizarSoftwareSAT(tivaxemu::kSilenceSessions + 1, kCode)); });
    ASSERT_TRUE(requestsReach(before + 1));
    TivaxlibDeInit();
    silent.join();
  }
  // A hang-up, then the write that finds the link gone (a diagnostic).
  EXPECT_EQ(take(AtualizarSoftwareSAT(tivaxemu::kHangUpSessions + 1, kCode)), "");
  for (int attempt = 0; attempt < 4; ++attempt)
    if (!take(ConsultarSAT(20 + attempt)).empty()) break;

  const std::string text = log.text();
  for (const char* kind : {"discovery", "open", "settings", "send", "receive", "verdict",
                           "reconnect", "cancel", "lock", "refusal", "stderr"})
    EXPECT_NE(text.find(std::string("] ") + kind + ": "), std::string::npos) << kind;
  const std::regex receive(
      R"(\] receive: bytes=\d+ first_byte_ms=[0-9.]+ total_ms=[0-9.]+ echo=no answer="000011\|08000\|)");
  EXPECT_TRUE(std::regex_search(text, receive)) << text;
  EXPECT_NE(text.find("] verdict: ConsultarSAT valid\n"), std::string::npos);
  EXPECT_NE(text.find("] verdict: AtualizarSoftwareSAT invalid: campos insuficientes: "),
            std::string::npos);
  EXPECT_NE(text.find("] stderr: \"\\nFailed to write on file. error: "), std::string::npos);
  Tivaxlib::Tivax::instance().setSysfsRoots(Tivaxlib::SysfsRoots());
}

// The codes that unlock the device never reach the log, whatever the
// function, whether the device echoes the request or not, and even with
// fields asked for whole.
TEST_F(Reasons, ActivationCodesNeverReachTheLog) {
  const char secret[] = "Zq-Segredo-31";
  const char fresh[] = "Novo-Segredo-77";
  const LogFile log;
  for (const bool complete : {false, true}) {
    Tivaxlib::Log::setCompleteFields(complete);
    for (const int session : {40, tivaxemu::kEchoSessions + 40}) {
      const std::function<char*()> calls[] = {
          [&] { return AtivarSAT(session, 1, secret, "58473629000139", 35); },
          [&] { return ComunicarCertificadoICPBRASIL(session, secret, "MIIC"); },
          [&] { return EnviarDadosVenda(session, secret, kSale.c_str()); },
          [&] { return CancelarUltimaVenda(session, secret, kFirstKey.c_str(), kCancellation.c_str()); },
          [&] { return TesteFimAFim(session, secret, kSale.c_str()); },
          [&] { return ConsultarStatusOperacional(session, secret); },
          [&] { return ConsultarNumeroSessao(session, secret, 5); },
          [&] { return ConfigurarInterfaceDeRede(session, secret, "<config/>"); },
          [&] { return AssociarAssinatura(session, secret, "16716114000172", "c2ln"); },
          [&] { return AtualizarSoftwareSAT(session, secret); },
          [&] { return ExtrairLogs(session, secret); },
          [&] { return BloquearSAT(session, secret); },
          [&] { return DesbloquearSAT(session, secret); },
          [&] { return TrocarCodigoDeAtivacao(session, secret, 1, fresh, fresh); },
          [&] { return TrocarCodigoDeAtivacao(session, secret, 2, fresh, fresh); },
          [&] { return ConsultarUltimaSessaoFiscal(session, secret); },
      };
      for (const auto& call : calls) take(call());
      device().resetDevice();
    }
  }
  Tivaxlib::Log::setCompleteFields(false);
  const std::string text = log.text();
  EXPECT_NE(text.find("|********"), std::string::npos);
  EXPECT_NE(text.find("echo=yes"), std::string::npos);
  for (const std::string code : {secret, fresh}) {
    const std::size_t at = text.find(code);
    EXPECT_EQ(at, std::string::npos) << text.substr(text.rfind('\n', at) + 1, 300);
  }
}

// A log that cannot be written changes no result, valid or not.
TEST_F(Reasons, UnwritableLogChangesNoResult) {
  const std::string valid = take(ConsultarStatusOperacional(50, kCode));
  const std::string failing = take(AtualizarSoftwareSAT(kGarbage, kCode));
  const std::string reason = lastError();
  testing::internal::CaptureStderr();
  Tivaxlib::Log::setTraceTarget("/proc/tivax-e2e.log");  // /proc takes no new files
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(take(ConsultarStatusOperacional(50, kCode)), valid);
  EXPECT_EQ(take(AtualizarSoftwareSAT(kGarbage, kCode)), failing);
  EXPECT_EQ(lastError(), reason);
  Tivaxlib::Log::setTraceTarget(nullptr);
}

}  // namespace
}  // namespace tivaxe2e
