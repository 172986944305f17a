// SPDX-License-Identifier: MIT
// The sixteen transactions, one per SAT function, named like the function.
#pragma once

#include "messages/receive_messages.h"
#include "messages/send_messages.h"
#include "transactions/transaction.h"

namespace Tivaxlib {
namespace Transactions {

#define TIVAX_TRANSACTION(Name, rule)                                                        \
  class Name final : public Transaction<Messages::Envio##Name, Messages::Retorno##Name> {   \
   public:                                                                                 \
    using Transaction::Transaction;                                                        \
    bool validateTransaction() const override { return validate##rule(response, request); } \
    Log::Reason invalidity() const override { return explain##rule(response, request); }    \
  };

TIVAX_TRANSACTION(AtivarSAT, SameSession)
TIVAX_TRANSACTION(ComunicarCertificadoICPBRASIL, SameSession)
TIVAX_TRANSACTION(EnviarDadosVenda, SameSession)
TIVAX_TRANSACTION(CancelarUltimaVenda, SameSession)
TIVAX_TRANSACTION(ConsultarSAT, SameSession)
TIVAX_TRANSACTION(TesteFimAFim, SameSession)
TIVAX_TRANSACTION(ConsultarStatusOperacional, SameSession)
TIVAX_TRANSACTION(ConsultarNumeroSessao, AnySession)
TIVAX_TRANSACTION(ConfigurarInterfaceDeRede, SameSession)
TIVAX_TRANSACTION(AssociarAssinatura, SameSession)
TIVAX_TRANSACTION(AtualizarSoftwareSAT, SameSession)
TIVAX_TRANSACTION(ExtrairLogs, SameSession)
TIVAX_TRANSACTION(BloquearSAT, SameSession)
TIVAX_TRANSACTION(DesbloquearSAT, SameSession)
TIVAX_TRANSACTION(TrocarCodigoDeAtivacao, SameSession)
TIVAX_TRANSACTION(ConsultarUltimaSessaoFiscal, AnySession)

#undef TIVAX_TRANSACTION

}  // namespace Transactions
}  // namespace Tivaxlib
