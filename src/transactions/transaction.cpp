#include "transactions/transaction.h"

namespace Tivaxlib {
namespace Transactions {

bool validateSameSession(const Messages::ReceiveMessageBase& response,
                         const Messages::SendMessageBase& request) {
  return response.EEEEE != 0 && response.numeroSessao == request.numeroSessao &&
         !response.mensagem.empty();
}

bool validateAnySession(const Messages::ReceiveMessageBase& response,
                        const Messages::SendMessageBase& request) {
  if (response.numeroSessao != request.numeroSessao) return !response.mensagem.empty();
  return !response.mensagem.empty() && response.EEEEE != 0;
}

}  // namespace Transactions
}  // namespace Tivaxlib
