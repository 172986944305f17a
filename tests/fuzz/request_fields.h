// SPDX-License-Identifier: MIT
// The parameters of each request class in line order, reachable through
// one visitor, so that the fuzz targets fill, print and compare any of the
// sixteen requests without sixteen copies of the same code.
//
// A visitor has three members:
//   number(int32_t&)   an integer parameter
//   text(std::string&) a text parameter
//   configuration(EnvioConfigurarInterfaceDeRede&)  the network XML, which
//                      is set through setDadosConfiguracao and read back
//                      through getDadosConfiguracao
#pragma once

#include <cstdint>
#include <string>

#include "messages/send_messages.h"
#include "transactions/transactions.h"

namespace tivaxfuzz {

namespace M = Tivaxlib::Transactions::Messages;
namespace T = Tivaxlib::Transactions;

template <class V> void visitFields(M::EnvioAtivarSAT& m, V& v) {
  v.number(m.subComando);
  v.text(m.codigoDeAtivacao);
  v.text(m.CNPJ);
  v.number(m.cUF);
}
template <class V> void visitFields(M::EnvioComunicarCertificadoICPBRASIL& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.text(m.certificado);
}
template <class V> void visitFields(M::EnvioEnviarDadosVenda& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.text(m.dadosVenda);
}
template <class V> void visitFields(M::EnvioCancelarUltimaVenda& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.text(m.chave);
  v.text(m.dadosCancelamento);
}
template <class V> void visitFields(M::EnvioConsultarSAT&, V&) {}
template <class V> void visitFields(M::EnvioTesteFimAFim& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.text(m.dadosVenda);
}
template <class V> void visitFields(M::EnvioConsultarNumeroSessao& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.number(m.cNumeroDeSessao);
}
template <class V> void visitFields(M::EnvioConfigurarInterfaceDeRede& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.configuration(m);
}
template <class V> void visitFields(M::EnvioAssociarAssinatura& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.text(m.CNPJvalue);
  v.text(m.assinaturaCNPJs);
}
template <class V> void visitFields(M::EnvioTrocarCodigoDeAtivacao& m, V& v) {
  v.text(m.codigoDeAtivacao);
  v.number(m.opcao);
  v.text(m.novoCodigo);
  v.text(m.confNovoCodigo);
}
// The six requests that carry the activation code alone.
template <class Envio, class V>
auto visitFields(Envio& m, V& v) -> decltype(void(m.codigoDeAtivacao), void()) {
  v.text(m.codigoDeAtivacao);
}

// Runs f(transaction) on a fresh transaction of function `id` (0 to 15),
// built without a channel: the fuzz targets feed its messages directly.
template <class F>
void withTransaction(int id, F&& f) {
  switch (id) {
#define TIVAX_CASE(n, Name) \
  case n: {                 \
    T::Name tx(nullptr);    \
    f(tx);                  \
    return;                 \
  }
    TIVAX_CASE(0, AtivarSAT)
    TIVAX_CASE(1, ComunicarCertificadoICPBRASIL)
    TIVAX_CASE(2, EnviarDadosVenda)
    TIVAX_CASE(3, CancelarUltimaVenda)
    TIVAX_CASE(4, ConsultarSAT)
    TIVAX_CASE(5, TesteFimAFim)
    TIVAX_CASE(6, ConsultarStatusOperacional)
    TIVAX_CASE(7, ConsultarNumeroSessao)
    TIVAX_CASE(8, ConfigurarInterfaceDeRede)
    TIVAX_CASE(9, AssociarAssinatura)
    TIVAX_CASE(10, AtualizarSoftwareSAT)
    TIVAX_CASE(11, ExtrairLogs)
    TIVAX_CASE(12, BloquearSAT)
    TIVAX_CASE(13, DesbloquearSAT)
    TIVAX_CASE(14, TrocarCodigoDeAtivacao)
    TIVAX_CASE(15, ConsultarUltimaSessaoFiscal)
#undef TIVAX_CASE
    default:
      return;
  }
}

// Fills a request's session number and parameters from the fuzz header.
template <class Reader>
struct FieldFiller {
  Reader& in;
  void number(int32_t& n) { n = in.integer(); }
  void text(std::string& s) { s = in.text(); }
  void configuration(M::EnvioConfigurarInterfaceDeRede& m) { m.setDadosConfiguracao(in.text()); }
};

template <class Envio, class Reader>
void fillRequest(Envio& request, Reader& in) {
  request.numeroSessao = in.integer();
  FieldFiller<Reader> filler{in};
  visitFields(request, filler);
}

// A function number from any integer: 0 to 15.
inline int functionOf(int32_t raw) {
  return static_cast<int>(static_cast<uint32_t>(raw) % 16u);
}

}  // namespace tivaxfuzz
