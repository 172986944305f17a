// SPDX-License-Identifier: MIT
// A long run of calls through the exported functions against the device
// emulator on a pseudo-terminal, with faults mixed in: silence on the
// polling function, hang-ups that force a reconnection, garbage, oversized
// answers, CR LF line ends, echoes (alone, or before an answer larger than
// one read buffer), split and late answers, answers for another session,
// answers arriving during the next call, blank lines before the answer.
//
// Every call must give the result its fault allows (an answer, or the
// invalid result), the link must recover after each fault within a few
// calls, and the open descriptors and resident memory must stay flat: both
// are printed after the first open, after warm-up and at the end.
//
// TIVAX_SOAK_CALLS sets the number of calls (default 10,000; the test suite
// runs a short one). Silences cost about 2.9 s and hang-ups about 4 s, so
// they are rare; an ordinary call costs about 10 ms of fixed pause. The
// whole default run takes about five minutes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "comm/waits.h"
#include "emulator.h"
#include "soak/process_figures.h"
#include "tivax.h"

// Under a sanitizer the allocator holds freed memory back on purpose (and
// finds leaks itself): resident memory is then printed but not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TIVAX_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TIVAX_SOAK_SANITIZED 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char kCode[] = "12345678";

const char kSale[] =
    "<CFe><infCFe versaoDadosEnt=\"0.07\"><ide><CNPJ>16716114000172</CNPJ>"
    "<signAC>SGR-SAT SISTEMA</signAC><numeroCaixa>001</numeroCaixa></ide>"
    "<emit><CNPJ>08723218000186</CNPJ><IE>149626224113</IE><indRatISSQN>N</indRatISSQN></emit>"
    "<dest>\n  </dest><det nItem=\"1\"><prod><cProd>0001</cProd><xProd>Cafe | expresso</xProd>"
    "<CFOP>5102</CFOP><uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>5.00</vUnCom>"
    "<indRegra>A</indRegra></prod><imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN>"
    "</ICMSSN102></ICMS><PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST>"
    "</COFINSSN></COFINS></imposto></det><total></total><pgto><MP><cMP>01</cMP><vMP>5.00</vMP>"
    "</MP></pgto></infCFe></CFe>";

std::string take(char* s) {
  std::string copy = s != nullptr ? s : "";
  DesalocarString(s);
  return copy;
}

std::string sessionField(int session) {
  std::string s = std::to_string(session);
  return std::string(s.size() < 6 ? 6 - s.size() : 0, '0') + s;
}

// The ordinary calls, taken in turn. ConsultarSAT polls, and its first poll
// comes before the device can have answered, so each costs about 110 ms
// against 10 ms for the others: it takes one turn in kPollEvery.
struct OrdinaryCall {
  const char* name;
  std::function<char*(int session)> call;
};
const size_t kPollEvery = 25;
const OrdinaryCall kPoll = {"ConsultarSAT", [](int s) { return ConsultarSAT(s); }};
const std::vector<OrdinaryCall>& ordinaryCalls() {
  static const std::vector<OrdinaryCall> calls = {
      {"ConsultarStatusOperacional", [](int s) { return ConsultarStatusOperacional(s, kCode); }},
      {"EnviarDadosVenda", [](int s) { return EnviarDadosVenda(s, kCode, kSale); }},
      {"ConsultarUltimaSessaoFiscal", [](int s) { return ConsultarUltimaSessaoFiscal(s, kCode); }},
      {"ExtrairLogs", [](int s) { return ExtrairLogs(s, kCode); }},
      {"ConsultarNumeroSessao",
       [](int s) { return ConsultarNumeroSessao(s, kCode, s > 1 ? s - 1 : 1); }},
      {"TesteFimAFim", [](int s) { return TesteFimAFim(s, kCode, kSale); }},
  };
  return calls;
}

// A fault, how often it comes per 10,000 calls, the session range that
// asks the emulator for it, and whether the call still yields an answer.
struct FaultKind {
  const char* name;
  int per10000;
  int32_t sessions;
  bool answered;
  bool polling;     // ConsultarSAT: gives up on silence by itself
  long deadlineMs;  // the answer deadline for the call, where the device stays silent
};
const std::vector<FaultKind> kFaults = {
    {"silence", 15, tivaxemu::kSilenceSessions, false, true, 0},
    {"hang-up", 12, tivaxemu::kHangUpSessions, false, false, 0},
    {"garbage", 60, tivaxemu::kGarbageSessions, false, false, 0},
    {"oversized answer", 20, tivaxemu::kOversizeSessions, false, false, 0},
    {"other session", 60, tivaxemu::kOtherSessionSessions, false, false, 300},
    {"echo then silence", 20, tivaxemu::kEchoThenSilenceSessions, false, false, 300},
    {"answer in next call", 30, tivaxemu::kLateAnswerSessions, false, false, 300},
    {"CR LF", 200, tivaxemu::kCrLfSessions, true, false, 0},
    {"echo", 200, tivaxemu::kEchoSessions, true, false, 0},
    {"echo + large answer", 20, tivaxemu::kEchoLargeSessions, true, false, 0},
    {"lone LF first", 40, tivaxemu::kBlankLineSessions, true, false, 0},
    {"lone CR LF first", 40, tivaxemu::kBlankCrLfSessions, true, false, 0},
    {"split answer", 40, tivaxemu::kSplitSessions, true, false, 0},
    {"late answer", 6, tivaxemu::kDelaySessions, true, false, 0},
};

long callsFromEnvironment() {
  const char* text = getenv("TIVAX_SOAK_CALLS");
  if (text == nullptr || *text == '\0') return 10000;
  return std::max(50L, std::strtol(text, nullptr, 10));
}

struct Figures {
  long descriptors;
  long residentKiB;
};
Figures sample(const char* when) {
  const Figures f{tivaxsoak::openDescriptors(), tivaxsoak::residentKiB()};
  std::printf("[soak] %-22s descriptors %4ld   resident %8ld KiB\n", when, f.descriptors,
              f.residentKiB);
  std::fflush(stdout);
  return f;
}

TEST(Soak, ThousandsOfCallsWithFaultsKeepDescriptorsAndMemoryFlat) {
  const long total = callsFromEnvironment();
  sample("before the first open");

  char dir[] = "/tmp/tivax-soak-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  tivaxemu::Options options;
  options.linkPath = std::string(dir) + "/port";
  tivaxemu::Emulator emulator(options);
  std::string error;
  ASSERT_TRUE(emulator.start(&error)) << error;
  ASSERT_EQ(ConfigurarPortaSerial(emulator.portPath().c_str()), 1);

  // The plan: which call is which fault. The first tenth is warm-up and
  // stays ordinary; the faults are spread at random over the rest (fixed
  // generator state: every run is the same run).
  const size_t warmUp = static_cast<size_t>(total) / 10;
  std::vector<int> plan(static_cast<size_t>(total), -1);
  size_t next = warmUp;
  for (size_t k = 0; k < kFaults.size(); ++k) {
    const long count = std::max(1L, total * kFaults[k].per10000 / 10000);
    for (long i = 0; i < count && next < plan.size(); ++i) plan[next++] = static_cast<int>(k);
  }
  std::mt19937 generator(424242);
  std::shuffle(plan.begin() + static_cast<long>(warmUp), plan.end(), generator);

  std::map<std::string, long> faultCounts;
  std::map<std::string, double> faultSeconds;
  double ordinarySeconds = 0;
  long ordinaryCount = 0;
  long calls = 0, recoveryCalls = 0, unexpected = 0;
  int session = 0;
  auto nextSession = [&session] { return session = session % 899999 + 1; };

  // After a fault, ordinary calls until the link answers again.
  auto recover = [&](const char* after) {
    for (int attempt = 1; attempt <= 10; ++attempt) {
      const int s = nextSession();
      ++recoveryCalls;
      if (!take(ConsultarStatusOperacional(s, kCode)).empty()) return;
    }
    ADD_FAILURE() << "the link did not recover after " << after;
  };

  Figures afterWarmUp{};
  const auto start = Clock::now();
  for (size_t i = 0; i < plan.size(); ++i) {
    if (i == warmUp) afterWarmUp = sample("after warm-up");
    if (i > warmUp && i % (plan.size() / 10) == 0) {
      const std::string when = "after " + std::to_string(i) + " calls";
      sample(when.c_str());
    }
    // The emulator keeps every session's answer for replay; forgetting them
    // now and then keeps its share of the process's memory bounded, so the
    // figures show the library's.
    if (i % 100 == 0) emulator.resetDevice();
    const auto callStart = Clock::now();
    auto elapsed = [&callStart] {
      return std::chrono::duration<double>(Clock::now() - callStart).count();
    };
    ++calls;
    if (plan[i] < 0) {
      const OrdinaryCall& c =
          i % kPollEvery == 0 ? kPoll : ordinaryCalls()[i % ordinaryCalls().size()];
      const int s = nextSession();
      const std::string result = take(c.call(s));
      if (result.empty()) {
        ++unexpected;
        ADD_FAILURE() << c.name << " session " << s << " (call " << i << ") gave no answer";
        recover("an unexpected failure");
      }
      ordinarySeconds += elapsed();
      ++ordinaryCount;
      continue;
    }
    const FaultKind& fault = kFaults[static_cast<size_t>(plan[i])];
    ++faultCounts[fault.name];
    const int s = fault.sessions + static_cast<int>(i % tivaxemu::kFaultRangeSize);
    Tivaxlib::Comm::setAnswerTimeout(std::chrono::milliseconds(fault.deadlineMs));
    const std::string result =
        take(fault.polling ? ConsultarSAT(s) : ConsultarStatusOperacional(s, kCode));
    Tivaxlib::Comm::setAnswerTimeout(std::chrono::nanoseconds(0));
    if (fault.answered) {
      const std::string field = sessionField(s) + "|";
      EXPECT_EQ(result.substr(0, field.size()), field) << fault.name << " (call " << i << ")";
    } else {
      EXPECT_EQ(result, "") << fault.name << " (call " << i << ")";
      recover(fault.name);
    }
    faultSeconds[fault.name] += elapsed();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const Figures atEnd = sample("at the end");

  std::printf("[soak] %ld calls (%ld of them recovering after faults) in %.1f s, %ld unexpected failures\n",
              calls + recoveryCalls, recoveryCalls, seconds, unexpected);
  std::printf("[soak]   %-18s %5ld  %6.1f s\n", "ordinary", ordinaryCount, ordinarySeconds);
  for (const auto& f : faultCounts)
    std::printf("[soak]   %-18s %5ld  %6.1f s (with recovery)\n", f.first.c_str(), f.second,
                faultSeconds[f.first]);
  std::printf("[soak] emulator: %llu requests, %llu hang-ups\n",
              static_cast<unsigned long long>(emulator.requestCount()),
              static_cast<unsigned long long>(emulator.hangUps()));

  EXPECT_EQ(unexpected, 0);
  EXPECT_LE(atEnd.descriptors, afterWarmUp.descriptors) << "descriptors grew";
#ifndef TIVAX_SOAK_SANITIZED
  // Generous: the oversized answers pass through a 1 MiB buffer and a 2 MiB
  // accumulator, and the allocator may keep some of that for reuse.
  EXPECT_LE(atEnd.residentKiB, afterWarmUp.residentKiB + 64 * 1024) << "resident memory grew";
#endif

  TivaxlibDeInit();
  emulator.stop();
  rmdir(dir);
}

}  // namespace
