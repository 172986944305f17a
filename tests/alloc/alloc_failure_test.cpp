// SPDX-License-Identifier: MIT
// Memory exhaustion at every allocation of every call.
//
// Each exported function is first called normally against a scripted
// device, which gives its answer and its request line. Then the call is
// repeated with allocation number N failing, for N = 1, 2, ... until a call
// runs through without reaching the Nth allocation; once with that single
// failure, once with every allocation failing from the Nth on. Whatever
// fails, the call must come back (no crash, no exception through the C
// interface) with a string that is either the normal answer or the invalid
// result, never a third thing such as a sale refused as malformed; and a
// normal answer must have been obtained with the normal request line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alloc/failing_allocator.h"
#include "alloc/sat_calls.h"
#include "core/tivax.h"
#include "support/scripted_channel.h"
#include "tivax.h"

namespace {

using tivaxtest::Script;

class AllocationFailure : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tivaxalloc::routeXmlAllocations();
    script = std::make_shared<Script>();
    script->answer = tivaxtest::answerRequest;
    Tivaxlib::Tivax::instance().setChannelFactory(tivaxtest::scriptedFactory(script));
    ASSERT_EQ(ConfigurarPortaSerial("scripted0"), 1);
  }

  // A call that finds the link closed only reconnects; make sure the next
  // armed call meets an open link, so that every N exercises the exchange.
  static void ensureLinked() {
    for (int attempt = 0; attempt < 3; ++attempt)
      if (!tivaxtest::takeResult(ConsultarSAT(1)).empty()) return;
    ConfigurarPortaSerial("scripted0");
  }

  static std::string lastRequest() {
    const std::vector<std::string> sent = script->sent();
    return sent.empty() ? std::string() : sent.back();
  }

  static void forgetRequests() {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->requests.clear();
  }

  struct Outcome {
    std::string result;
    std::string request;  // the last line the device received, if any
    bool injected;
    std::string reason;   // TivaxlibUltimoErro right after the call
  };

  static Outcome runWithFailure(const std::function<char*()>& call, long n, bool persistent) {
    ensureLinked();
    forgetRequests();
    tivaxalloc::failAllocation(n, persistent);
    char* result = call();
    const char* reason = TivaxlibUltimoErro();  // allocates nothing
    tivaxalloc::disarm();
    Outcome outcome;
    outcome.reason = reason ? reason : "(null)";
    outcome.injected = tivaxalloc::failureInjected();
    EXPECT_NE(result, nullptr);
    outcome.result = tivaxtest::takeResult(result);
    outcome.request = lastRequest();
    return outcome;
  }

  // Sweeps N for one call; `expected` is the normal answer, `requests` the
  // request lines that may have earned it (none when the call sends
  // nothing).
  static long sweep(const char* name, const std::function<char*()>& call,
                    const std::string& expected, const std::vector<std::string>& requests) {
    long failures = 0;
    for (const bool persistent : {false, true}) {
      for (long n = 1; n < 1000000; ++n) {
        const Outcome o = runWithFailure(call, n, persistent);
        ++failures;
        EXPECT_TRUE(o.result.empty() || o.result == expected)
            << name << " with allocation " << n << (persistent ? " and later" : "")
            << " failing returned: " << o.result;
        // Whatever failed, the invalid result has a reason, and an answer none.
        EXPECT_EQ(o.result.empty(), !o.reason.empty())
            << name << " with allocation " << n << (persistent ? " and later" : "")
            << " failing: result \"" << o.result << "\", reason \"" << o.reason << "\"";
        if (o.result == expected && !requests.empty()) {
          EXPECT_NE(std::find(requests.begin(), requests.end(), o.request), requests.end())
              << name << " answered normally after sending another request (allocation " << n
              << (persistent ? " and later" : "") << " failing): " << o.request;
        }
        if (!o.injected) break;
      }
    }
    return failures;
  }

  static std::shared_ptr<Script> script;
};
std::shared_ptr<Script> AllocationFailure::script;

TEST_F(AllocationFailure, EverySatFunctionGivesItsAnswerOrTheInvalidResult) {
  const int session = 4321;
  for (const tivaxtest::SatCall& sat : tivaxtest::satCalls()) {
    const std::vector<std::string> texts = tivaxtest::ordinaryTexts(sat.id);
    const std::function<char*()> call = [&] { return tivaxtest::invoke(sat, session, texts); };

    ensureLinked();
    forgetRequests();
    const std::string expected = tivaxtest::takeResult(call());
    std::vector<std::string> requests = {lastRequest()};
    ASSERT_EQ(expected, tivaxtest::answerLine(sat.id, tivaxtest::sessionField(session)))
        << sat.name << " without failures";
    // The network configuration is rewritten with memory failures swallowed
    // (the device is then sent an empty configuration field and judges it).
    if (sat.id == 8) requests.push_back(requests[0].substr(0, requests[0].rfind('|') + 1));

    const long runs = sweep(sat.name, call, expected, requests);
    std::printf("%-30s %5ld failing runs\n", sat.name, runs);
  }
}

TEST_F(AllocationFailure, MalformedSaleGivesItsRefusalOrTheInvalidResult) {
  const std::function<char*()> call = [] {
    return EnviarDadosVenda(7, "12345678", "<CFe><infCFe versaoDadosEnt=\"0.07\"><emit/></infCFe></CFe>");
  };
  ensureLinked();
  const std::string expected = tivaxtest::takeResult(call());
  ASSERT_EQ(expected, "000007|06010|1999|Erro no XML: Falha ao verificar tag: emit||");
  sweep("EnviarDadosVenda (malformed)", call, expected, {});
}

TEST_F(AllocationFailure, SetUpFunctionsAnswerZeroOrOne) {
  struct SetUpCall {
    const char* name;
    std::function<int()> call;
  };
  const std::vector<SetUpCall> calls = {
      {"TivaxlibDeInit", [] { return TivaxlibDeInit(); }},
      {"TivaxlibInit", [] { return TivaxlibInit(); }},
      {"ConfigurarPortaSerial", [] { return ConfigurarPortaSerial("scripted0"); }},
      {"DispositivoConectado", [] { return DispositivoConectado(); }},
      {"consultaBloqueio", [] { return consultaBloqueio("12345678"); }},
  };
  for (const SetUpCall& c : calls) {
    for (const bool persistent : {false, true}) {
      for (long n = 1; n < 1000000; ++n) {
        ensureLinked();
        tivaxalloc::failAllocation(n, persistent);
        const int result = c.call();
        tivaxalloc::disarm();
        EXPECT_TRUE(result == 0 || result == 1) << c.name << " returned " << result;
        if (!tivaxalloc::failureInjected()) break;
      }
    }
    // Whatever the failures did to the link, the library recovers.
    TivaxlibDeInit();
    ASSERT_EQ(ConfigurarPortaSerial("scripted0"), 1);
    ensureLinked();
    EXPECT_EQ(tivaxtest::takeResult(ConsultarSAT(9)), tivaxtest::answerLine(4, "000009"));
  }
}

}  // namespace
