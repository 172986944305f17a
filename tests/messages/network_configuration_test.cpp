// SPDX-License-Identifier: MIT
// The network configuration's address rewriting and re-serialisation, and
// the decoding of an answer behind the echo of the rewritten text.
#include <string>

#include <gtest/gtest.h>

#include "messages/decoded.h"
#include "messages/network_configuration.h"
#include "messages/receive_messages.h"
#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {
namespace {

const std::string kDeclaration = "<?xml version=\"1.0\"?>\n";

std::string stored(const std::string& configuracao) {
  EnvioConfigurarInterfaceDeRede message;
  message.setDadosConfiguracao(configuracao);
  return message.getDadosConfiguracao();
}

TEST(GetIp, WritesPlainDecimalAndZeroForWhatWasNotRead) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"192.168.001.010", "192.168.1.10"}, {"010.000.000.001", "10.0.0.1"},
      {"10.0.0.1", "10.0.0.1"},            {" 192.168.1.1 ", "192.168.1.1"},
      {"192.168.1.0/24", "192.168.1.0"},   {"300.-1.+2.4", "300.-1.2.4"},
      {"1921.168.1.1", "192.0.0.0"},       {"10.0", "10.0.0.0"},
      {"", "0.0.0.0"},                     {"abc", "0.0.0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(get_ip(c.in), c.out) << c.in;
}

TEST(Configuration, IsRewrittenInTheFixedLayout) {
  const std::string expected = kDeclaration +
                               "<config>\n\t<lanIP>192.168.1.10</lanIP>\n"
                               "\t<lanMask>255.255.255.0</lanMask>\n</config>\n";
  EXPECT_EQ(stored("<config><lanIP>192.168.001.010</lanIP>"
                   "<lanMask>255.255.255.000</lanMask></config>"),
            expected);
  EXPECT_EQ(stored("<config>\n  <lanIP>192.168.1.10</lanIP>\n"
                   "  <lanMask>255.255.255.0</lanMask>\n</config>"),
            expected);
  EXPECT_EQ(stored("<config><lanIP> 192.168.1.10 </lanIP><lanMask>255.255.255.0/24</lanMask>"
                   "</config>"),
            expected);
}

TEST(Configuration, RewritesOnlyTheFirstOfEachAddress) {
  EXPECT_EQ(stored("<config><lanIP>010.0.0.1</lanIP><lanIP>010.0.0.2</lanIP>"
                   "<x><lanGW>010.0.0.3</lanGW></x></config><config><lanIP>010.0.0.4</lanIP></config>"),
            kDeclaration +
                "<config>\n\t<lanIP>10.0.0.1</lanIP>\n\t<lanIP>010.0.0.2</lanIP>\n"
                "\t<x>\n\t\t<lanGW>010.0.0.3</lanGW>\n\t</x>\n</config>\n"
                "<config>\n\t<lanIP>010.0.0.4</lanIP>\n</config>\n");
}

TEST(Configuration, KeepsEverythingElse) {
  // CDATA stays CDATA, other elements and bytes pass untouched, an empty
  // address element gets an address.
  EXPECT_EQ(stored("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><!-- rede -->"
                   "<config><?app x?><tipoInter>ETHE</tipoInter><SSID>Caf\xc3\xa9\xff</SSID>"
                   "<lanDNS1><![CDATA[008.008.008.008]]></lanDNS1><lanDNS2/></config>"),
            kDeclaration +
                "<config>\n\t<tipoInter>ETHE</tipoInter>\n\t<SSID>Caf\xc3\xa9\xff</SSID>\n"
                "\t<lanDNS1><![CDATA[8.8.8.8]]></lanDNS1>\n\t<lanDNS2>0.0.0.0</lanDNS2>\n"
                "</config>\n");
}

TEST(Configuration, NotXmlLeavesTheFieldEmpty) {
  for (const char* text : {"", "<config><lanIP>1.2.3.4</lanIP>", "not xml at all <"}) {
    EnvioConfigurarInterfaceDeRede message;
    message.numeroSessao = 1;
    message.codigoDeAtivacao = "codigo";
    message.setDadosConfiguracao(text);
    EXPECT_EQ(message.getDadosConfiguracao(), "") << text;
    EXPECT_EQ(message.pullMessageToSend(), "8|000001|codigo|\n") << text;
  }
}

// The written layout indents every line by its depth; nesting past a sane
// limit would make the text grow with the square of the depth.
TEST(Configuration, DeepNestingIsTreatedLikeTextThatIsNotXml) {
  auto nested = [](int levels) {
    std::string open, close;
    for (int i = 0; i < levels; ++i) {
      open += "<g>";
      close += "</g>";
    }
    return "<config><lanIP>010.0.0.1</lanIP>" + open + close + "</config>";
  };
  EXPECT_NE(stored(nested(60)).find("<lanIP>10.0.0.1</lanIP>"), std::string::npos);
  EXPECT_EQ(stored(nested(100)), "");
  EXPECT_EQ(stored(nested(100000)), "");
}

TEST(Configuration, AnswerBehindTheEchoOfTheRewrittenTextIsDecoded) {
  EnvioConfigurarInterfaceDeRede request;
  request.numeroSessao = 77;
  request.codigoDeAtivacao = "codigo";
  request.setDadosConfiguracao(
      "<config><tipoInter>ETHE</tipoInter><tipoLan>IPFIX</tipoLan><lanIP>192.168.001.010</lanIP>"
      "<lanMask>255.255.255.000</lanMask><lanGW>192.168.001.001</lanGW></config>");
  std::string echo;
  for (char c : request.pullMessageToSend())
    if (c != '\n') echo += c;
  const auto r = decode<RetornoConfigurarInterfaceDeRede>(
      request, echo + "\r\n000077|12000|Rede Configurada|0|\r\n");
  EXPECT_EQ(commonOf(r), (Common{77, 12000, "Rede Configurada", 0, "",
                                 "000077|12000|Rede Configurada|0|"}));
}

}  // namespace
}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
