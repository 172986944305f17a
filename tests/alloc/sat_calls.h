// SPDX-License-Identifier: MIT
// The sixteen SAT functions as one table, called through the exported C
// functions with any texts, and a device script that answers every request
// line with a well-formed answer of its function. Shared by the tests that
// drive the whole interface with hostile conditions.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "support/scripted_channel.h"
#include "tivax.h"

namespace tivaxtest {

struct SatCall {
  const char* name;
  int id;             // the function number of its request line
  size_t textCount;   // how many text parameters it takes
  // Calls the function with session number `session` and `texts` for its
  // text parameters in order (integers fixed at ordinary values).
  char* (*call)(int session, const char* const* texts);
};

inline const std::vector<SatCall>& satCalls() {
  static const std::vector<SatCall> calls = {
      {"AtivarSAT", 0, 2, [](int s, const char* const* t) { return AtivarSAT(s, 1, t[0], t[1], 35); }},
      {"ComunicarCertificadoICPBRASIL", 1, 2,
       [](int s, const char* const* t) { return ComunicarCertificadoICPBRASIL(s, t[0], t[1]); }},
      {"EnviarDadosVenda", 2, 2,
       [](int s, const char* const* t) { return EnviarDadosVenda(s, t[0], t[1]); }},
      {"CancelarUltimaVenda", 3, 3,
       [](int s, const char* const* t) { return CancelarUltimaVenda(s, t[0], t[1], t[2]); }},
      {"ConsultarSAT", 4, 0, [](int s, const char* const*) { return ConsultarSAT(s); }},
      {"TesteFimAFim", 5, 2, [](int s, const char* const* t) { return TesteFimAFim(s, t[0], t[1]); }},
      {"ConsultarStatusOperacional", 6, 1,
       [](int s, const char* const* t) { return ConsultarStatusOperacional(s, t[0]); }},
      {"ConsultarNumeroSessao", 7, 1,
       [](int s, const char* const* t) { return ConsultarNumeroSessao(s, t[0], 5); }},
      {"ConfigurarInterfaceDeRede", 8, 2,
       [](int s, const char* const* t) { return ConfigurarInterfaceDeRede(s, t[0], t[1]); }},
      {"AssociarAssinatura", 9, 3,
       [](int s, const char* const* t) { return AssociarAssinatura(s, t[0], t[1], t[2]); }},
      {"AtualizarSoftwareSAT", 10, 1,
       [](int s, const char* const* t) { return AtualizarSoftwareSAT(s, t[0]); }},
      {"ExtrairLogs", 11, 1, [](int s, const char* const* t) { return ExtrairLogs(s, t[0]); }},
      {"BloquearSAT", 12, 1, [](int s, const char* const* t) { return BloquearSAT(s, t[0]); }},
      {"DesbloquearSAT", 13, 1, [](int s, const char* const* t) { return DesbloquearSAT(s, t[0]); }},
      {"TrocarCodigoDeAtivacao", 14, 3,
       [](int s, const char* const* t) { return TrocarCodigoDeAtivacao(s, t[0], 1, t[1], t[2]); }},
      {"ConsultarUltimaSessaoFiscal", 15, 1,
       [](int s, const char* const* t) { return ConsultarUltimaSessaoFiscal(s, t[0]); }},
  };
  return calls;
}

// The answer line (without its line feed) that the script gives for a
// request of function `id` and session field `session`, as the device
// writes it: session, result code, message, the SEFAZ pair and the
// function's payload.
inline std::string answerLine(int id, const std::string& session) {
  static const char* const codes[] = {"04000", "05000", "06000", "07000", "08000", "09000",
                                      "10000", "11000", "12000", "13000", "14000", "15000",
                                      "16000", "17000", "18000", "19000"};
  if (id < 0 || id > 15) return std::string();
  if (id == 2 || id == 3)
    return session + "|" + codes[id] + "|0000|Emitido com sucesso|0000||QkFTRTY0|20240102030405|" +
           "CFe35240108723218000186599000040190000011234567|5.00||cXJjb2Rl";
  std::string line = session + "|" + codes[id] + "|Sucesso|0000|";
  if (id == 0) line += "|Q1NS";
  if (id == 5) line += "|QkFTRTY0|20240102030405|123|CFe3524";
  if (id == 6) {
    line += "|900004019|IPFIX|192.168.1.10|00:11:22:33:44:55|255.255.255.0|192.168.1.1|8.8.8.8|"
            "8.8.4.4|CONECTADO|ALTO|4 GB|1 GB|20240102030405|01.00.00|00.07|3524|000001|000100|"
            "20240102030000|20240102030000|20230101|20280101|0";
  }
  if (id == 11) line += "|bG9ncw==";
  return line;
}

// Script answer: reads the function number and session field of the request
// line and answers for them; a line it cannot read gets silence.
inline std::string answerRequest(const std::string& request) {
  const std::vector<std::string> f = fieldsOf(request);
  if (f.size() < 2 || f[0].empty() || f[0].size() > 2 ||
      f[0].find_first_not_of("0123456789") != std::string::npos)
    return std::string();
  return answerLine(std::atoi(f[0].c_str()), f[1]) + "\n";
}

// The session field as the library writes it for small, non-negative numbers.
inline std::string sessionField(int session) {
  std::string s = std::to_string(session);
  return std::string(s.size() < 6 ? 6 - s.size() : 0, '0') + s;
}

// A small sale that passes the CF-e 0.07 layout check.
inline const char* validSale() {
  return "<CFe><infCFe versaoDadosEnt=\"0.07\"><ide><CNPJ>16716114000172</CNPJ>"
         "<signAC>SGR-SAT SISTEMA</signAC><numeroCaixa>001</numeroCaixa></ide>"
         "<emit><CNPJ>08723218000186</CNPJ><IE>149626224113</IE><indRatISSQN>N</indRatISSQN></emit>"
         "<dest></dest><det nItem=\"1\"><prod><cProd>0001</cProd><xProd>Cafe</xProd>"
         "<CFOP>5102</CFOP><uCom>UN</uCom><qCom>1.0000</qCom><vUnCom>5.00</vUnCom>"
         "<indRegra>A</indRegra></prod><imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN>"
         "</ICMSSN102></ICMS><PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST>"
         "</COFINSSN></COFINS></imposto></det><total></total><pgto><MP><cMP>01</cMP><vMP>5.00</vMP>"
         "</MP></pgto></infCFe></CFe>";
}

// Ordinary texts for a function's text parameters, in order.
inline std::vector<std::string> ordinaryTexts(int id) {
  const std::string code = "12345678";
  switch (id) {
    case 0: return {code, "16716114000172"};
    case 1: return {code, "MIICcertificado"};
    case 2: case 5: return {code, validSale()};
    case 3: return {code, "CFe35240108723218000186599000040190000011234567",
                    "<CFeCanc><infCFe chCanc=\"CFe3524\"><ide><CNPJ>1</CNPJ></ide></infCFe></CFeCanc>"};
    case 4: return {};
    case 8: return {code, "<config><lanIP>192.168.001.010</lanIP><lanGW>192.168.1.1</lanGW></config>"};
    case 9: return {code, "16716114000172", "c2lnbmF0dXJl"};
    case 14: return {code, "87654321", "87654321"};
    default: return {code};
  }
}

// Calls `call` with the given texts.
inline char* invoke(const SatCall& call, int session, const std::vector<std::string>& texts) {
  const char* pointers[3] = {nullptr, nullptr, nullptr};
  for (size_t i = 0; i < texts.size() && i < 3; ++i) pointers[i] = texts[i].c_str();
  return call.call(session, pointers);
}

// Takes a result string, releasing it the way the application must.
inline std::string takeResult(char* s) {
  std::string copy = s != nullptr ? s : "";
  DesalocarString(s);
  return copy;
}

}  // namespace tivaxtest
