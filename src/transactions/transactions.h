// The sixteen transactions, one per SAT function, named like the function.
#pragma once

#include "messages/receive_messages.h"
#include "messages/send_messages.h"
#include "transactions/transaction.h"

namespace Tivaxlib {
namespace Transactions {

#define TIVAX_TRANSACTION(Name, rule)                                                \
  class Name final : public Transaction<Messages::Envio##Name, Messages::Retorno##Name> { \
   public:                                                                           \
    using Transaction::Transaction;                                                  \
    bool validateTransaction() const override { return rule(response, request); }    \
  };

TIVAX_TRANSACTION(AtivarSAT, validateSameSession)
TIVAX_TRANSACTION(ComunicarCertificadoICPBRASIL, validateSameSession)
TIVAX_TRANSACTION(EnviarDadosVenda, validateSameSession)
TIVAX_TRANSACTION(CancelarUltimaVenda, validateSameSession)
TIVAX_TRANSACTION(ConsultarSAT, validateSameSession)
TIVAX_TRANSACTION(TesteFimAFim, validateSameSession)
TIVAX_TRANSACTION(ConsultarStatusOperacional, validateSameSession)
TIVAX_TRANSACTION(ConsultarNumeroSessao, validateAnySession)
TIVAX_TRANSACTION(ConfigurarInterfaceDeRede, validateSameSession)
TIVAX_TRANSACTION(AssociarAssinatura, validateSameSession)
TIVAX_TRANSACTION(AtualizarSoftwareSAT, validateSameSession)
TIVAX_TRANSACTION(ExtrairLogs, validateSameSession)
TIVAX_TRANSACTION(BloquearSAT, validateSameSession)
TIVAX_TRANSACTION(DesbloquearSAT, validateSameSession)
TIVAX_TRANSACTION(TrocarCodigoDeAtivacao, validateSameSession)
TIVAX_TRANSACTION(ConsultarUltimaSessaoFiscal, validateAnySession)

#undef TIVAX_TRANSACTION

}  // namespace Transactions
}  // namespace Tivaxlib
