// SPDX-License-Identifier: MIT
// Helpers for the decoding tests: the fields every response shares, as a
// value that compares and prints, and one call that decodes a text.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>

#include "messages/receive_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

struct Common {
  int32_t numeroSessao = 0;
  int32_t EEEEE = 0;
  std::string mensagem;
  int32_t cod = 0;
  std::string mensagemSEFAZ;
  std::string rawResponse;

  bool operator==(const Common& o) const {
    return std::tie(numeroSessao, EEEEE, mensagem, cod, mensagemSEFAZ, rawResponse) ==
           std::tie(o.numeroSessao, o.EEEEE, o.mensagem, o.cod, o.mensagemSEFAZ, o.rawResponse);
  }
};

inline std::ostream& operator<<(std::ostream& out, const Common& c) {
  return out << "{" << c.numeroSessao << ", " << c.EEEEE << ", \"" << c.mensagem << "\", " << c.cod
             << ", \"" << c.mensagemSEFAZ << "\", \"" << c.rawResponse << "\"}";
}

inline Common commonOf(const ReceiveMessageBase& r) {
  return {r.numeroSessao, r.EEEEE, r.mensagem, r.cod, r.mensagemSEFAZ, r.rawResponse};
}

// The record as the transaction would hold it: linked to its request and
// given the received text once.
template <class Retorno, class Envio>
Retorno decode(const Envio& request, std::string received) {
  Retorno response;
  response.envio = &request;
  response.pushReceivedMessage(received);
  return response;
}

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
