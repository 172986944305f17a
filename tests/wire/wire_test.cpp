// SPDX-License-Identifier: MIT
// What a device may put on the wire around, inside and after its answer,
// met through the exported functions: the library hands back the answer
// that is the call's own, whole, or says why it has none; and what one call
// leaves on the wire never spoils the next.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/waits.h"
#include "e2e_documents.h"
#include "scripted_device.h"
#include "tivax.h"

namespace wiretest {
namespace {

using Clock = std::chrono::steady_clock;
using tivaxe2e::kSale;

constexpr char kCode[] = "12345678";
const std::string kSaleAnswer =
    "|06000|0000|Emitido com sucesso + conteúdo notas.|0||QmFzZQ==|20231114221320|"
    "CFe35231158473629000139599000040190000011126482|37.80||QRcode";
// Enough for any call here on a loaded machine; only a broken library hits it.
constexpr auto kPatience = std::chrono::seconds(20);

ScriptedDevice* theDevice = nullptr;

class DeviceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    device = std::make_unique<ScriptedDevice>();
    theDevice = device.get();
    ASSERT_EQ(ConfigurarPortaSerial(device->path().c_str()), 1);
    ASSERT_EQ(TivaxlibInit(), 1);
  }
  void TearDown() override {
    TivaxlibDeInit();
    theDevice = nullptr;
    device.reset();
  }
  std::unique_ptr<ScriptedDevice> device;
};

::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new DeviceEnvironment);

ScriptedDevice& device() { return *theDevice; }

std::string take(char* result) {
  std::string copy = result ? result : "";
  DesalocarString(result);
  return copy;
}

// A call that must end on its own, run where the test can still end it if
// the library keeps waiting: after kPatience it is cancelled by
// TivaxlibDeInit, and the test fails.
struct Ended {
  std::string result;
  std::string reason;
  bool onItsOwn = false;
};
Ended boundedCall(const std::function<char*()>& call) {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  Ended ended;
  std::thread caller([&] {
    std::string result = take(call());
    std::string reason = TivaxlibUltimoErro();
    const std::lock_guard<std::mutex> lock(mutex);
    ended.result = std::move(result);
    ended.reason = std::move(reason);
    done = true;
    changed.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ended.onItsOwn = changed.wait_for(lock, kPatience, [&] { return done; });
  }
  if (!ended.onItsOwn) TivaxlibDeInit();
  caller.join();
  return ended;
}

class WithDeadline {
 public:
  explicit WithDeadline(std::chrono::milliseconds limit) { Tivaxlib::Comm::setAnswerTimeout(limit); }
  ~WithDeadline() { Tivaxlib::Comm::setAnswerTimeout(std::chrono::nanoseconds(0)); }
};

// Waits (bounded) for a flag the test's thread sets.
void waitFor(const std::atomic<bool>& flag) {
  const auto giveUp = Clock::now() + kPatience;
  while (!flag && Clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class Wire : public ::testing::Test {
 protected:
  void TearDown() override {
    device().setScript(nullptr);
    // The link works as before for a plain call.
    const Ended after = boundedCall([] { return AtualizarSoftwareSAT(999, kCode); });
    EXPECT_EQ(after.result, "000999|14000|ok||") << after.reason;
  }
};

// During sale session 8000 a late ConsultarSAT answer arrives, whose result
// code 08000 reads like the sale's session: it is another session's line,
// and the sale's answer after it is taken. Ahead of it, or in one read.
TEST_F(Wire, LateLineWhoseCodeIsTheSessionIsPassedOver) {
  for (const bool oneRead : {false, true}) {
    device().setScript([oneRead](const std::string& request) {
      const std::string late = "000005|08000|SAT em operação||\n";
      const std::string answer = request.substr(2, 6) + kSaleAnswer + "\n";
      if (oneRead) {
        device().send(late + answer);
      } else {
        device().send(late);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        device().send(answer);
      }
    });
    const Ended sale = boundedCall([] { return EnviarDadosVenda(8000, kCode, kSale.c_str()); });
    EXPECT_TRUE(sale.onItsOwn);
    EXPECT_EQ(sale.result, "008000" + kSaleAnswer) << sale.reason << (oneRead ? " (one read)" : "");
  }
}

// The session query takes the consulted session's stored line, never a
// third session's stale one before it.
TEST_F(Wire, SessionQueryPassesOverAThirdSessionsLine) {
  const std::string stored = "000043|06000|0000|Emitido com sucesso|0||QmFzZQ==";
  for (const bool oneRead : {false, true}) {
    device().setScript([stored, oneRead](const std::string&) {
      const std::string stale = "000005|08000|SAT em operação||\n";
      if (oneRead) {
        device().send(stale + stored + "\n");
      } else {
        device().send(stale);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        device().send(stored + "\n");
      }
    });
    const Ended query = boundedCall([] { return ConsultarNumeroSessao(44, kCode, 43); });
    EXPECT_EQ(query.result, stored) << query.reason << (oneRead ? " (one read)" : "");
  }
}

// A line is complete at its line feed, whatever follows it in the same
// read: a CR after the LF, a stray byte. Blocking and polling alike, and
// without TIVAX_TIMEOUT.
TEST_F(Wire, AnswerIsCompleteAtItsLineFeedWhateverFollows) {
  for (const char* after : {"\r", "X", "\r\n", "000007|08000|late"}) {
    device().setScript([after](const std::string& request) {
      device().send(ScriptedDevice::defaultAnswer(request) + after);
    });
    const Ended update = boundedCall([] { return AtualizarSoftwareSAT(70, kCode); });
    EXPECT_TRUE(update.onItsOwn) << "after the line feed: " << after;
    EXPECT_EQ(update.result, "000070|14000|ok||") << update.reason;
    const Ended status = boundedCall([] { return ConsultarSAT(71); });
    EXPECT_TRUE(status.onItsOwn) << "after the line feed: " << after;
    EXPECT_EQ(status.result, "000071|08000|ok||") << status.reason;
  }
}

// A NUL byte inside the answer (a serial break reads as one) is dropped,
// and the line comes back whole after it.
TEST_F(Wire, NulInTheAnswerNeverCutsIt) {
  device().setScript([](const std::string& request) {
    const std::string answer = request.substr(2, 6) + kSaleAnswer + "\n";
    const size_t at = answer.find("QmFz") + 2;
    device().send(answer.substr(0, at) + std::string(1, '\0') + answer.substr(at));
  });
  const Ended sale = boundedCall([] { return EnviarDadosVenda(43, kCode, kSale.c_str()); });
  EXPECT_EQ(sale.result, "000043" + kSaleAnswer) << sale.reason;
}

// What is left of an answer the library gave up on (refused for its size,
// or cut by the deadline) still arrives after the call; the next call
// discards it and takes its own answer.
TEST_F(Wire, TheTailOfAnAbandonedAnswerDoesNotSpoilTheNextCall) {
  // 3.5 MiB, past the 2 MiB limit: the device is still writing it when the
  // library gives up.
  device().setScript([](const std::string& request) {
    if (request.rfind("11|", 0) != 0) return device().send(ScriptedDevice::defaultAnswer(request));
    std::string huge = request.substr(3, 6) + "|15000|Transferência completa|0||";
    huge.append((7u << 20) / 2, 'A');
    device().send(huge + "\n");
  });
  const Ended logs = boundedCall([] { return ExtrairLogs(80, kCode); });
  EXPECT_EQ(logs.result, "");
  EXPECT_EQ(logs.reason.rfind("resposta grande demais: ", 0), 0u) << logs.reason;
  const Ended next = boundedCall([] { return AtualizarSoftwareSAT(81, kCode); });
  EXPECT_EQ(next.result, "000081|14000|ok||") << next.reason;

  // Half an answer, then the deadline; the rest trickles in after the call
  // has given up.
  // Shared with the device's thread, which outlives this scope's locals in
  // no way a race detector can see (the terminal orders them).
  const auto gaveUp = std::make_shared<std::atomic<bool>>(false);
  device().setScript([gaveUp](const std::string& request) {
    if (request.rfind("10|000082|", 0) != 0) return device().send(ScriptedDevice::defaultAnswer(request));
    device().send("000082|14000|Software ");
    waitFor(*gaveUp);
    for (const char* piece : {"Atua", "liza", "do c", "om S", "ucesso||\n"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      device().send(piece);
    }
  });
  {
    const WithDeadline deadline(std::chrono::milliseconds(300));
    const Ended cut = boundedCall([] { return AtualizarSoftwareSAT(82, kCode); });
    EXPECT_EQ(cut.reason.rfind("tempo esgotado: ", 0), 0u) << cut.reason;
  }
  *gaveUp = true;
  const Ended after = boundedCall([] { return AtualizarSoftwareSAT(83, kCode); });
  EXPECT_EQ(after.result, "000083|14000|ok||") << after.reason;
}

// A device that keeps sending lines that are not the answer (another
// session's, the echo again and again) does not keep the call past its
// deadline: the call ends while the device is still sending.
TEST_F(Wire, EndlessLinesThatAreNotTheAnswerEndAtTheDeadline) {
  // Shared with the device's thread, which may still be writing its last
  // lines when the test's body has ended (the next call reads them away).
  struct Flood {
    std::atomic<bool> stop{false};
    std::atomic<bool> sending{false};
  };
  const auto flood = std::make_shared<Flood>();
  device().setScript([flood](const std::string& request) {
    if (request.rfind("10|000090|", 0) != 0) return device().send(ScriptedDevice::defaultAnswer(request));
    // Short lines, each handed to the decoder on its own: the library reads
    // them more slowly than the device writes them, so every read finds
    // more, and only the deadline ends the call.
    std::string burst = "000091|08000|SAT em operação||\n" + request + "\n";
    while (burst.size() < 16384) burst += "9\n";
    flood->sending = true;
    const auto giveUp = Clock::now() + kPatience;
    while (!flood->stop && Clock::now() < giveUp) device().send(burst);
    flood->sending = false;
  });
  Ended flooded;
  const auto start = Clock::now();
  {
    const WithDeadline deadline(std::chrono::milliseconds(400));
    flooded = boundedCall([] { return AtualizarSoftwareSAT(90, kCode); });
  }
  const auto took = Clock::now() - start;
  const bool endedWhileSending = flood->sending;
  flood->stop = true;
  EXPECT_TRUE(flooded.onItsOwn);
  EXPECT_EQ(flooded.result, "");
  // Out of time, having passed over lines of another session.
  EXPECT_EQ(flooded.reason.rfind("resposta de outra sessão: a resposta é da sessão 9", 0), 0u) << flooded.reason;
  EXPECT_TRUE(endedWhileSending) << "the call outlasted the device's lines";
  // Generous: five times the deadline. A loop that looks at the deadline
  // only when the device falls silent runs on for as long as it sends.
  EXPECT_LT(took, std::chrono::seconds(2));
  std::printf("[wire] flooded call ended after %.3f s (deadline 0.4 s)\n",
              std::chrono::duration<double>(took).count());
}

// A deadline in the middle of writing a large request leaves part of a line
// at the device. The next request reaches it whole and alone: the cut line
// is ended first, and what the device says of it is not taken for the
// next answer.
TEST_F(Wire, ARequestCutShortNeverJoinsTheNextOne) {
  std::string cancellation = "<CFeCanc><infCFe chCanc=\"CFe35\">";
  while (cancellation.size() < (1u << 20)) cancellation += "<obs>texto de observação</obs>";
  cancellation += "</infCFe></CFeCanc>";
  device().holdReading(true);
  {
    const WithDeadline deadline(std::chrono::milliseconds(300));
    const Ended cut = boundedCall(
        [&] { return CancelarUltimaVenda(95, kCode, "CFe35", cancellation.c_str()); });
    EXPECT_EQ(cut.result, "");
    EXPECT_EQ(cut.reason.rfind("tempo esgotado: o equipamento não aceitou o pedido", 0), 0u)
        << cut.reason;
  }
  device().holdReading(false);
  const size_t before = device().requests().size();
  const Ended next = boundedCall([] { return AtualizarSoftwareSAT(96, kCode); });
  EXPECT_EQ(next.result, "000096|14000|ok||") << next.reason;
  const std::vector<std::string> requests = device().requests();
  ASSERT_GE(requests.size(), before + 1);
  EXPECT_EQ(requests.back(), "10|000096|12345678");
  // The cut line came alone, before it.
  if (requests.size() >= before + 2) {
    const std::string& cutLine = requests[requests.size() - 2];
    EXPECT_EQ(cutLine.rfind("3|000095|12345678|CFe35|<CFeCanc>", 0), 0u) << cutLine.substr(0, 60);
    EXPECT_EQ(cutLine.find("10|000096"), std::string::npos);
  }
}

}  // namespace
}  // namespace wiretest
