// SPDX-License-Identifier: MIT
// The device's function numbers: the first field of every request line and
// of the device's echo of it.
#pragma once

#include <cstdint>

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

enum sat_function_id_t : int32_t {
  ATIVAR_SAT = 0,
  COMUNICAR_CERTIFICADO_ICPBRASIL = 1,
  ENVIAR_DADOS_VENDA = 2,
  CANCELAR_ULTIMA_VENDA = 3,
  CONSULTAR_SAT = 4,
  TESTE_FIM_A_FIM = 5,
  CONSULTAR_STATUS_OPERACIONAL = 6,
  CONSULTAR_NUMERO_SESSAO = 7,
  CONFIGURAR_INTERFACE_DE_REDE = 8,
  ASSOCIAR_ASSINATURA = 9,
  ATUALIZAR_SOFTWARE_SAT = 10,
  EXTRAIR_LOGS = 11,
  BLOQUEAR_SAT = 12,
  DESBLOQUEAR_SAT = 13,
  TROCAR_CODIGO_DE_ATIVACAO = 14,
  CONSULTAR_ULTIMA_SESSAO_FISCAL = 15,
};

constexpr int kSatFunctionCount = 16;

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
