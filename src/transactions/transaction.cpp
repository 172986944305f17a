// SPDX-License-Identifier: MIT
#include "transactions/transaction.h"

namespace Tivaxlib {
namespace Transactions {

bool validateSameSession(const Messages::ReceiveMessageBase& response,
                         const Messages::SendMessageBase& request) {
  return response.EEEEE != 0 && response.numeroSessao == request.numeroSessao &&
         !response.mensagem.empty();
}

namespace {

using Log::Reason;
using Log::ReasonKind;

Reason explainCodeAndMessage(const Messages::ReceiveMessageBase& response) {
  if (response.EEEEE == 0) return Reason(ReasonKind::NoResult).saying("o código de retorno é 0");
  if (response.mensagem.empty()) return Reason(ReasonKind::NoResult).saying("a mensagem está vazia");
  return Reason();
}

}  // namespace

Reason explainSameSession(const Messages::ReceiveMessageBase& response,
                          const Messages::SendMessageBase& request) {
  if (validateSameSession(response, request)) return Reason();
  if (response.decodeFailure().kind != ReasonKind::None) return response.decodeFailure();
  if (response.numeroSessao != request.numeroSessao) {
    // Nothing decoded but lines passed over: those were the only answer.
    const int32_t answered = response.answerPending() && response.passedOverLines() > 0
                                 ? response.passedOverSession()
                                 : response.numeroSessao;
    return Reason(ReasonKind::OtherSession).counting(answered, request.numeroSessao);
  }
  return explainCodeAndMessage(response);
}

Reason explainAnySession(const Messages::ReceiveMessageBase& response,
                         const Messages::SendMessageBase& request) {
  if (validateAnySession(response, request)) return Reason();
  if (response.decodeFailure().kind != ReasonKind::None) return response.decodeFailure();
  if (response.numeroSessao != request.numeroSessao)
    return Reason(ReasonKind::NoResult).saying("a resposta guardada de outra sessão está vazia");
  return explainCodeAndMessage(response);
}

bool validateAnySession(const Messages::ReceiveMessageBase& response,
                        const Messages::SendMessageBase& request) {
  if (response.numeroSessao != request.numeroSessao) return !response.mensagem.empty();
  return !response.mensagem.empty() && response.EEEEE != 0;
}

}  // namespace Transactions
}  // namespace Tivaxlib
