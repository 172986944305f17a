// SPDX-License-Identifier: MIT
// Hostile inputs at the library's boundary, through the exported functions
// against a scripted device: huge and deeply nested XML, invalid UTF-8 and
// binary garbage in every text, thousands of separators, line breaks in the
// activation code. Each must give a defined result (the device's answer,
// the sale refusal, or the invalid result, as stated per case) without a
// crash. Each case prints its time; the large cases run at two sizes ten
// times apart, so that a quadratic step shows as a ratio near 100 instead
// of 10. Nothing here asserts on time.
#include <gtest/gtest.h>

#include <utf8.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc/sat_calls.h"
#include "core/tivax.h"
#include "support/scripted_channel.h"
#include "tivax.h"

namespace {

using tivaxtest::answerLine;
using tivaxtest::fieldsOf;
using tivaxtest::Script;
using tivaxtest::sessionField;
using tivaxtest::takeResult;

const size_t kMiB = 1024 * 1024;
const char kCode[] = "12345678";

double secondsOf(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const std::string& what, double seconds) {
  std::printf("[hostile] %-58s %8.3f s\n", what.c_str(), seconds);
  std::fflush(stdout);
}

// Times `run(size)` at a tenth of `size` and at `size` and prints both and
// their ratio (about 10 for linear work).
void reportScaling(const std::string& what, size_t size, const std::function<void(size_t)>& run) {
  char label[160];
  const double small = secondsOf([&] { run(size / 10); });
  std::snprintf(label, sizeof label, "%s (%.1f MiB)", what.c_str(), size / 10.0 / kMiB);
  report(label, small);
  const double large = secondsOf([&] { run(size); });
  std::snprintf(label, sizeof label, "%s (%.1f MiB)", what.c_str(), double(size) / kMiB);
  report(label, large);
  std::printf("[hostile] %-58s %8.1f\n", (what + ": ratio for 10x the size").c_str(),
              small > 0 ? large / small : 0.0);
}

// A valid sale whose free-text field (infAdic/infCpl) holds `filler`.
std::string saleWithText(const std::string& filler) {
  std::string sale = tivaxtest::validSale();
  const std::string end = "</infCFe></CFe>";
  sale.insert(sale.size() - end.size(), "<infAdic><infCpl>" + filler + "</infCpl></infAdic>");
  return sale;
}

std::string repeatToSize(const std::string& unit, size_t size) {
  std::string out;
  out.reserve(size + unit.size());
  while (out.size() < size) out += unit;
  return out;
}

class HostileInputs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    script = std::make_shared<Script>();
    Tivaxlib::Tivax::instance().setChannelFactory(tivaxtest::scriptedFactory(script));
  }
  void SetUp() override {
    answerWith(tivaxtest::answerRequest);
    ASSERT_EQ(ConfigurarPortaSerial("scripted0"), 1);
    forget();
  }
  void TearDown() override { forget(); }

  static void answerWith(std::function<std::string(const std::string&)> f) {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->answer = std::move(f);
  }
  // Drops the recorded requests: the large cases would keep gigabytes.
  static void forget() {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->requests.clear();
    script->requests.shrink_to_fit();
  }
  static std::string lastRequest() {
    std::lock_guard<std::mutex> lock(script->mutex);
    return script->requests.empty() ? std::string() : script->requests.back();
  }
  static size_t requestCount() { return script->sentCount(); }

  static std::shared_ptr<Script> script;
};
std::shared_ptr<Script> HostileInputs::script;

const std::string kSaleAnswer = answerLine(2, sessionField(1));
const std::string kCancelAnswer = answerLine(3, sessionField(1));

TEST_F(HostileInputs, HugeSaleIsCheckedAndSentOnOneLine) {
  reportScaling("sale, valid, large free text", 50 * kMiB, [&](size_t size) {
    forget();
    const std::string sale = saleWithText(repeatToSize("texto livre 0123456789 ", size));
    EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, sale.c_str())), kSaleAnswer);
    const std::vector<std::string> fields = fieldsOf(lastRequest());
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[3].size(), sale.size());
  });
}

TEST_F(HostileInputs, HugeMalformedSalesAreRefusedWithoutReachingTheDevice) {
  // 100,000 items: far past the 500 allowed, refused at the 501st.
  const std::string item =
      "<det nItem=\"1\"><prod><cProd>1</cProd><xProd>x</xProd><CFOP>5102</CFOP><uCom>UN</uCom>"
      "<qCom>1</qCom><vUnCom>1</vUnCom><indRegra>A</indRegra></prod><imposto><PIS><PISSN><CST>49"
      "</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS></imposto></det>";
  reportScaling("sale, items far past 500", 50 * kMiB, [&](size_t size) {
    std::string sale = tivaxtest::validSale();
    const size_t at = sale.find("<det ");
    sale.insert(at, repeatToSize(item, size));
    const size_t before = requestCount();
    EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, sale.c_str())),
              "000001|06010|1999|Erro no XML: Falha ao verificar tag: det||");
    EXPECT_EQ(requestCount(), before);
  });
  // Start tags of a blank group that never close: each one's content runs to
  // the end of the text, which a naive cleaning rescans every time.
  reportScaling("sale, unterminated <dest> start tags", 50 * kMiB, [&](size_t size) {
    const std::string sale = repeatToSize("<dest>", size);
    EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, sale.c_str())),
              "000001|06010|1999|Erro no XML: ||");
  });
  reportScaling("sale, not XML at all", 50 * kMiB, [&](size_t size) {
    const std::string sale = repeatToSize("abc <> & ", size);
    EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, sale.c_str())),
              "000001|06010|1999|Erro no XML: ||");
  });
}

TEST_F(HostileInputs, HugeCancellationIsCleanedAndSent) {
  reportScaling("cancellation, large, with pipes and bad UTF-8", 50 * kMiB, [&](size_t size) {
    forget();
    const std::string cancel =
        "<CFeCanc>" + repeatToSize("a|b\xff<dest> </dest>", size) + "</CFeCanc>";
    EXPECT_EQ(takeResult(CancelarUltimaVenda(1, kCode, "CFe3524", cancel.c_str())),
              kCancelAnswer);
    const std::string request = lastRequest();
    const std::vector<std::string> fields = fieldsOf(request);
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_TRUE(utf8::is_valid(fields[4].begin(), fields[4].end()));
    EXPECT_EQ(fields[4].find("<dest> </dest>"), std::string::npos);
  });
}

TEST_F(HostileInputs, DeeplyNestedXml) {
  const size_t depth = 100000;
  auto nested = [depth](const std::string& name) {
    std::string open = "<" + name + ">", close = "</" + name + ">";
    std::string xml;
    xml.reserve(depth * (open.size() + close.size()));
    for (size_t i = 0; i < depth; ++i) xml += open;
    for (size_t i = 0; i < depth; ++i) xml += close;
    return xml;
  };
  std::string xml;
  // Unknown elements are not layout groups: the document passes and goes out.
  xml = nested("a");
  report("sale, 100,000 nested unknown elements", secondsOf([&] {
           EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, xml.c_str())), kSaleAnswer);
         }));
  // A known group nested in itself breaks the layout at the second level.
  xml = nested("CFe");
  report("sale, 100,000 nested CFe", secondsOf([&] {
           EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, xml.c_str())),
                     "000001|06010|1999|Erro no XML: Falha ao verificar tag: CFe||");
         }));
  // The network configuration is written out again with one tab per level
  // of nesting: an indented copy of a deep document grows with the square
  // of its depth. Probe at a tenth of the depth first (at worst 100 MB), so
  // that a blow-up fails the test instead of exhausting the machine.
  auto configuration = [&](size_t levels) {
    std::string x = "<config>";
    for (size_t i = 0; i < levels; ++i) x += "<lanIP>";
    for (size_t i = 0; i < levels; ++i) x += "</lanIP>";
    return x + "</config>";
  };
  bool bounded = true;
  for (const size_t levels : {depth / 10, depth}) {
    if (!bounded) break;
    forget();
    xml = configuration(levels);
    report("network configuration, " + std::to_string(levels) + " nested elements",
           secondsOf([&] {
             EXPECT_EQ(takeResult(ConfigurarInterfaceDeRede(1, kCode, xml.c_str())),
                       answerLine(8, sessionField(1)));
           }));
    const size_t sent = lastRequest().size();
    std::printf("[hostile] %-58s %8zu bytes for %zu\n", "  configuration field sent", sent,
                xml.size());
    bounded = sent <= 64 * xml.size() + 4096;
    EXPECT_TRUE(bounded) << "a configuration nested " << levels << " levels deep went out as "
                         << sent << " bytes";
  }
  xml = nested("CFeCanc");
  report("cancellation, 100,000 nested elements", secondsOf([&] {
           EXPECT_EQ(takeResult(CancelarUltimaVenda(1, kCode, "CFe3524", xml.c_str())),
                     kCancelAnswer);
         }));
}

// Every text parameter of every function gets the same hostile text; the
// scripted device answers from the first two fields of whatever arrives,
// so the expected result is the function's answer, except for a sale whose
// XML does not load.
void everyFunctionWith(const std::string& text, const std::string& what,
                       const std::function<std::string(int id)>& expected) {
  const int session = 77;
  report(what, secondsOf([&] {
           for (const tivaxtest::SatCall& sat : tivaxtest::satCalls()) {
             const std::vector<std::string> texts(sat.textCount, text);
             EXPECT_EQ(takeResult(tivaxtest::invoke(sat, session, texts)), expected(sat.id))
                 << sat.name << " with " << what;
           }
         }));
}

std::string answerOrRefusal(int id) {
  if (id == 2) return sessionField(77) + "|06010|1999|Erro no XML: ||";
  return answerLine(id, sessionField(77));
}

// For texts holding "|", CR or LF: only ConsultarSAT, which has no text
// parameter, is sent and answered.
std::string onlyWithoutTexts(int id) { return id == 4 ? answerLine(id, sessionField(77)) : ""; }

TEST_F(HostileInputs, InvalidUtf8Everywhere) {
  const std::string bad = "\xff\xfe\xc3\x28\xa0\xa1\xe2\x28\xa1\xf0\x90\x28\xbc\xed\xa0\x80 fim";
  everyFunctionWith(bad, "invalid UTF-8 in every text", answerOrRefusal);
  // Inside a valid sale the bad bytes are repaired before the check and
  // before sending; the other texts travel byte for byte.
  const std::string sale = saleWithText(bad);
  EXPECT_EQ(takeResult(EnviarDadosVenda(1, bad.c_str(), sale.c_str())), kSaleAnswer);
  const std::vector<std::string> fields = fieldsOf(lastRequest());
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[2], bad);
  EXPECT_TRUE(utf8::is_valid(fields[3].begin(), fields[3].end()));
  EXPECT_NE(fields[3].find("\xef\xbf\xbd"), std::string::npos);
}

TEST_F(HostileInputs, BinaryGarbageEverywhere) {
  std::mt19937 generator(20240611);
  std::uniform_int_distribution<int> byte(1, 255);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(byte(generator));
  // Garbage holds "|", CR and LF: every call with a plain text is refused.
  everyFunctionWith(garbage, "64 KiB of binary garbage in every text", onlyWithoutTexts);

  // The device echoes the request before answering: only ConsultarSAT,
  // which has no texts, was sent at all.
  answerWith([](const std::string& request) {
    return request + "\n" + tivaxtest::answerRequest(request);
  });
  everyFunctionWith(garbage, "binary garbage echoed by the device", onlyWithoutTexts);

  // The device answers with garbage: the invalid result.
  answerWith([garbage](const std::string&) { return garbage + "\n"; });
  everyFunctionWith("12345678", "device answering binary garbage", [](int id) {
    return id == 2 ? answerOrRefusal(id) : std::string();
  });
}

TEST_F(HostileInputs, TenThousandPipes) {
  const std::string pipes(10000, '|');
  // In the sale every pipe becomes a character reference: the request line
  // keeps its four fields.
  const std::string sale = saleWithText(pipes);
  report("sale with 10,000 pipes", secondsOf([&] {
           EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, sale.c_str())), kSaleAnswer);
         }));
  std::vector<std::string> fields = fieldsOf(lastRequest());
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[3].find('|'), std::string::npos);

  // 10,000 pipes spread through a 50 MiB sale: each replacement must not
  // move the rest of the text.
  const std::string spread = repeatToSize(std::string(5 * 1024, 'x') + "|", 50 * kMiB);
  report("50 MiB sale text with 10,000 spread pipes", secondsOf([&] {
           EXPECT_EQ(takeResult(EnviarDadosVenda(1, kCode, saleWithText(spread).c_str())),
                     kSaleAnswer);
         }));

  // Other texts are not the library's to clean: a pipe there would change
  // the fields the device sees, and the call is refused with nothing sent.
  forget();
  EXPECT_EQ(takeResult(ConsultarStatusOperacional(1, pipes.c_str())), "");
  EXPECT_EQ(lastRequest(), "");
}

// "|", CR or LF in a plain text parameter (activation code, CNPJ, key,
// signature, new codes) would change the fields or the lines the device
// sees; in an activation code it would count toward the device's lock-out.
// Each is refused, with the parameter named, and nothing is sent.
TEST_F(HostileInputs, SeparatorsAndLineBreaksInPlainTextsAreRefused) {
  const char* const pipe = "invalid: contém \"|\", que separa os campos do pedido";
  const char* const lineBreak = "invalid: contém uma quebra de linha (CR ou LF), que corta o pedido";
  const struct {
    const char* name;
    std::function<char*()> call;
    std::string reason;
  } cases[] = {
      {"code with |", [] { return ConsultarStatusOperacional(5, "1234|5678"); },
       "codigoDeAtivacao|"},
      {"code with LF", [] { return BloquearSAT(5, "1234\n5678"); }, "codigoDeAtivacao\n"},
      {"code with CR", [] { return AtivarSAT(5, 1, "1234\r", "cnpj", 35); }, "codigoDeAtivacao\n"},
      {"CNPJ with |", [] { return AtivarSAT(5, 1, kCode, "1|2", 35); }, "CNPJ|"},
      {"key with CR", [] { return CancelarUltimaVenda(5, kCode, "CFe\r35", "<CFeCanc/>"); }, "chave\n"},
      {"signature with |",
       [] { return AssociarAssinatura(5, kCode, "111|222", "assinatura"); }, "CNPJvalue|"},
      {"signature with LF",
       [] { return AssociarAssinatura(5, kCode, "111222", "assi\nnatura"); }, "assinaturaCNPJs\n"},
      {"new code with |",
       [] { return TrocarCodigoDeAtivacao(5, kCode, 1, "a|b", "a|b"); }, "novoCodigo|"},
      {"confirmation with LF",
       [] { return TrocarCodigoDeAtivacao(5, kCode, 1, "ab", "a\nb"); }, "confNovoCodigo\n"},
      {"certificate with |",
       [] { return ComunicarCertificadoICPBRASIL(5, kCode, "MII|"); }, "certificado|"},
  };
  for (const auto& c : cases) {
    forget();
    EXPECT_EQ(takeResult(c.call()), "") << c.name;
    const std::string parameter = c.reason.substr(0, c.reason.size() - 1);
    EXPECT_EQ(TivaxlibUltimoErro(), "argumento inválido: " + parameter + " " +
                                        std::string(c.reason.back() == '|' ? pipe : lineBreak).substr(9))
        << c.name;
    EXPECT_EQ(lastRequest(), "") << c.name;
  }
  // A certificate's line breaks (a PEM text has them) are dropped by the
  // link, as an XML document's: it goes out.
  EXPECT_EQ(takeResult(ComunicarCertificadoICPBRASIL(5, kCode, "MIIB\r\nAAAA\n")),
            answerLine(1, sessionField(5)));
}

}  // namespace
