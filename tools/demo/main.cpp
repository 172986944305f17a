// SPDX-License-Identifier: MIT
// tivax-demo: a whole point-of-sale session through the library's exported
// functions, against the emulated device on a pseudo-terminal.
//
//   tivax-demo [venda.xml]
//
// Sells the given sale (an embedded one without an argument), cancels it
// and queries the device around it, printing every call and its answer.
// Exits 0 when every call gave a valid answer.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "answer_fields.h"
#include "emulator.h"
#include "tivax.h"

namespace {

const char kCodigo[] = "12345678";
const char kCnpjContribuinte[] = "58473629000139";

const char kVendaEmbutida[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<CFe>\n"
    "  <infCFe versaoDadosEnt=\"0.07\">\n"
    "    <ide>\n"
    "      <CNPJ>21436587000156</CNPJ>\n"
    "      <signAC>assinaturaDoAplicativoComercial</signAC>\n"
    "      <numeroCaixa>001</numeroCaixa>\n"
    "    </ide>\n"
    "    <emit>\n"
    "      <CNPJ>58473629000139</CNPJ>\n"
    "      <IE>614253698117</IE>\n"
    "      <indRatISSQN>N</indRatISSQN>\n"
    "    </emit>\n"
    "    <dest/>\n"
    "    <det nItem=\"1\">\n"
    "      <prod>\n"
    "        <cProd>0001</cProd>\n"
    "        <xProd>Café torrado e moído 500 g</xProd>\n"
    "        <CFOP>5102</CFOP>\n"
    "        <uCom>UN</uCom>\n"
    "        <qCom>1.0000</qCom>\n"
    "        <vUnCom>18.90</vUnCom>\n"
    "        <indRegra>A</indRegra>\n"
    "      </prod>\n"
    "      <imposto>\n"
    "        <ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS>\n"
    "        <PIS><PISSN><CST>49</CST></PISSN></PIS>\n"
    "        <COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS>\n"
    "      </imposto>\n"
    "    </det>\n"
    "    <total/>\n"
    "    <pgto><MP><cMP>01</cMP><vMP>20.00</vMP></MP></pgto>\n"
    "  </infCFe>\n"
    "</CFe>\n";

// The cancellation names the sale it cancels; CHAVE is replaced by its key.
const char kCancelamento[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<CFeCanc>\n"
    "  <infCFe chCanc=\"CHAVE\">\n"
    "    <ide>\n"
    "      <CNPJ>21436587000156</CNPJ>\n"
    "      <signAC>assinaturaDoAplicativoComercial</signAC>\n"
    "      <numeroCaixa>001</numeroCaixa>\n"
    "    </ide>\n"
    "    <emit/>\n"
    "    <dest/>\n"
    "    <total/>\n"
    "  </infCFe>\n"
    "</CFeCanc>\n";

// Field names of the answers, by layout, for the printout: the same names
// the command-line tool prints.
using tivaxcli::AnswerLayout;
const std::vector<std::string>& nomes(AnswerLayout layout) {
  return tivaxcli::layoutFieldNames(layout);
}

std::vector<std::string> campos(const std::string& linha) {
  std::vector<std::string> out;
  if (linha.empty()) return out;
  std::size_t inicio = 0;
  for (;;) {
    const std::size_t barra = linha.find('|', inicio);
    out.push_back(linha.substr(inicio, barra == std::string::npos ? barra : barra - inicio));
    if (barra == std::string::npos) return out;
    inicio = barra + 1;
  }
}

std::string resumido(const std::string& texto) {
  const std::size_t limite = 64;
  if (texto.size() <= limite) return texto;
  return texto.substr(0, limite) + "... (" + std::to_string(texto.size()) + " bytes)";
}

std::string tomar(char* resultado) {
  std::string copia = resultado ? resultado : "";
  DesalocarString(resultado);
  return copia;
}

class Sessao {
 public:
  // One SAT call: prints it, its answer field by field, and whether the
  // result code is the one expected.
  std::string chamar(const std::string& descricao, const std::function<char*()>& chamada,
                     const char* codigoEsperado, const std::vector<std::string>& nomes) {
    std::printf("\n-> %s\n", descricao.c_str());
    const std::string resposta = tomar(chamada());
    const std::vector<std::string> f = campos(resposta);
    if (resposta.empty()) std::printf("   <- (resposta vazia)\n");
    for (std::size_t i = 0; i < f.size(); ++i)
      std::printf("   %-18s %s\n", i < nomes.size() ? nomes[i].c_str() : "",
                  resumido(f[i]).c_str());
    const bool valida = f.size() >= 2 && f[1] == codigoEsperado;
    registrar(valida, descricao);
    return resposta;
  }

  // A set-up call with an integer result.
  int inteiro(const std::string& descricao, const std::function<int()>& chamada,
              const std::function<bool(int)>& valido, const char* explicacao) {
    std::printf("\n-> %s\n", descricao.c_str());
    const int resultado = chamada();
    std::printf("   <- %d  %s\n", resultado, explicacao);
    registrar(valido(resultado), descricao);
    return resultado;
  }

  int proximaSessao() { return ++sessao; }
  int falhas() const { return erros; }

 private:
  void registrar(bool valida, const std::string& descricao) {
    if (!valida) {
      ++erros;
      std::printf("   !! resposta inesperada em %s\n", descricao.c_str());
    }
  }

  int sessao = 100000;
  int erros = 0;
};

std::string lerArquivo(const char* caminho) {
  std::ifstream arquivo(caminho, std::ios::binary);
  if (!arquivo) return std::string();
  std::ostringstream texto;
  texto << arquivo.rdbuf();
  return texto.str();
}

std::string cancelamentoPara(const std::string& chave) {
  std::string texto = kCancelamento;
  texto.replace(texto.find("CHAVE"), 5, chave);
  return texto;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")))) {
    std::printf("Uso: %s [venda.xml]\n", argv[0]);
    return argc > 2 ? 2 : 0;
  }
  std::string venda = argc == 2 ? lerArquivo(argv[1]) : std::string();
  if (venda.empty()) {
    if (argc == 2) std::printf("Aviso: %s não pôde ser lido; usando a venda embutida.\n", argv[1]);
    venda = kVendaEmbutida;
  } else {
    std::printf("Venda: %s (%zu bytes)\n", argv[1], venda.size());
  }

  tivaxemu::Emulator emulador;
  std::string erro;
  if (!emulador.start(&erro)) {
    std::fprintf(stderr, "tivax-demo: o emulador não iniciou: %s\n", erro.c_str());
    return 1;
  }
  const std::string porta = emulador.terminalPath();
  std::printf("SAT emulado em %s (código de ativação %s)\n", porta.c_str(), kCodigo);

  Sessao s;
  const auto zeroOuUm = [](int r) { return r == 0 || r == 1; };
  const auto um = [](int r) { return r == 1; };
  s.inteiro("DispositivoConectado()", DispositivoConectado, zeroOuUm,
            "(SAT USB na máquina: o emulado não conta)");
  s.inteiro("ConfigurarPortaSerial(\"" + porta + "\")",
            [&] { return ConfigurarPortaSerial(porta.c_str()); }, um, "");
  s.inteiro("TivaxlibInit()", TivaxlibInit, um, "");

  int n = s.proximaSessao();
  s.chamar("ConsultarSAT(" + std::to_string(n) + ")", [n] { return ConsultarSAT(n); }, "08000",
           nomes(AnswerLayout::Common));
  n = s.proximaSessao();
  s.chamar("ConsultarStatusOperacional(" + std::to_string(n) + ", codigo)",
           [n] { return ConsultarStatusOperacional(n, kCodigo); }, "10000", nomes(AnswerLayout::Status));
  n = s.proximaSessao();
  s.chamar("AtivarSAT(" + std::to_string(n) + ", 1, codigo, CNPJ, 35)",
           [n] { return AtivarSAT(n, 1, kCodigo, kCnpjContribuinte, 35); }, "04000",
           nomes(AnswerLayout::Common));
  n = s.proximaSessao();
  const std::vector<std::string> vendida = campos(s.chamar(
      "EnviarDadosVenda(" + std::to_string(n) + ", codigo, venda)",
      [n, &venda] { return EnviarDadosVenda(n, kCodigo, venda.c_str()); }, "06000",
      nomes(AnswerLayout::Sale)));
  const std::string chave = vendida.size() > 8 ? vendida[8] : std::string();
  const std::string cancelamento = cancelamentoPara(chave);
  n = s.proximaSessao();
  const std::string cancelada = s.chamar(
      "CancelarUltimaVenda(" + std::to_string(n) + ", codigo, \"" + chave + "\", cancelamento)",
      [n, &chave, &cancelamento] {
        return CancelarUltimaVenda(n, kCodigo, chave.c_str(), cancelamento.c_str());
      },
      "07000", nomes(AnswerLayout::Sale));
  n = s.proximaSessao();
  const std::string ultima =
      s.chamar("ConsultarUltimaSessaoFiscal(" + std::to_string(n) + ", codigo)",
               [n] { return ConsultarUltimaSessaoFiscal(n, kCodigo); }, "07000", nomes(AnswerLayout::Sale));
  if (!cancelada.empty() && ultima != cancelada)
    std::printf("   !! a última sessão fiscal não é o cancelamento\n");
  n = s.proximaSessao();
  s.chamar("ExtrairLogs(" + std::to_string(n) + ", codigo)",
           [n] { return ExtrairLogs(n, kCodigo); }, "15000", nomes(AnswerLayout::Logs));
  s.inteiro("consultaBloqueio(codigo)", [] { return consultaBloqueio(kCodigo); }, zeroOuUm,
            "(0: desbloqueado; 1: bloqueado, ou o SAT recusou o código de sondagem da "
            "biblioteca e o estado não pôde ser lido)");
  s.inteiro("TivaxlibDeInit()", TivaxlibDeInit, um, "");

  emulador.stop();
  std::printf("\n%s: %llu requisições chegaram ao SAT emulado; %d resposta(s) inesperada(s).\n",
              s.falhas() == 0 ? "OK" : "FALHA",
              static_cast<unsigned long long>(emulador.requestCount()), s.falhas());
  return s.falhas() == 0 ? 0 : 1;
}
