// SPDX-License-Identifier: MIT
// Request messages: one class per SAT function, holding the caller's
// parameters and turning them into the request line
//   id|session|param|param...\n
// Fields are public and filled by the device object; the classes check
// nothing, rejecting odd values is the device's business.
#pragma once

#include <cstdint>
#include <string>

#include "comm/comm_message.h"
#include "messages/sat_function_id.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

class SendMessageBase : public Comm::ICommSendMessage {
 public:
  int32_t numeroSessao = 0;
  // The function the request is for, which says what each field is.
  virtual sat_function_id_t functionId() const = 0;
  // "<function> session=<number> line=<the request line>", the activation
  // codes masked and bulky fields shortened.
  std::string pullMessageToLog() const override;
};

class EnvioAtivarSAT : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return ATIVAR_SAT; }
  int32_t subComando = 1;
  std::string codigoDeAtivacao;
  std::string CNPJ;
  int32_t cUF = 35;
  std::string pullMessageToSend() const override;
};

class EnvioComunicarCertificadoICPBRASIL : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return COMUNICAR_CERTIFICADO_ICPBRASIL; }
  std::string codigoDeAtivacao;
  std::string certificado;
  std::string pullMessageToSend() const override;
};

class EnvioEnviarDadosVenda : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return ENVIAR_DADOS_VENDA; }
  std::string codigoDeAtivacao;
  std::string dadosVenda;
  std::string pullMessageToSend() const override;
};

class EnvioCancelarUltimaVenda : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return CANCELAR_ULTIMA_VENDA; }
  std::string codigoDeAtivacao;
  std::string chave;
  std::string dadosCancelamento;
  std::string pullMessageToSend() const override;
};

class EnvioConsultarSAT : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return CONSULTAR_SAT; }
  std::string pullMessageToSend() const override;
};

class EnvioTesteFimAFim : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return TESTE_FIM_A_FIM; }
  std::string codigoDeAtivacao;
  std::string dadosVenda;
  std::string pullMessageToSend() const override;
};

class EnvioConsultarStatusOperacional : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return CONSULTAR_STATUS_OPERACIONAL; }
  std::string codigoDeAtivacao;
  std::string pullMessageToSend() const override;
};

class EnvioConsultarNumeroSessao : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return CONSULTAR_NUMERO_SESSAO; }
  std::string codigoDeAtivacao;
  int32_t cNumeroDeSessao = 0;
  std::string pullMessageToSend() const override;
};

// The configuration XML is not carried as given: setDadosConfiguracao
// rewrites its addresses and re-serialises it (network_configuration.cpp),
// so the field can only be set through it.
class EnvioConfigurarInterfaceDeRede : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return CONFIGURAR_INTERFACE_DE_REDE; }
  std::string codigoDeAtivacao;
  void setDadosConfiguracao(const std::string& configuracao);
  const std::string& getDadosConfiguracao() const;
  std::string pullMessageToSend() const override;

 private:
  std::string dadosConfiguracao;
};

class EnvioAssociarAssinatura : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return ASSOCIAR_ASSINATURA; }
  std::string codigoDeAtivacao;
  std::string CNPJvalue;
  std::string assinaturaCNPJs;
  std::string pullMessageToSend() const override;
};

class EnvioAtualizarSoftwareSAT : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return ATUALIZAR_SOFTWARE_SAT; }
  std::string codigoDeAtivacao;
  std::string pullMessageToSend() const override;
};

class EnvioExtrairLogs : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return EXTRAIR_LOGS; }
  std::string codigoDeAtivacao;
  std::string pullMessageToSend() const override;
};

class EnvioBloquearSAT : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return BLOQUEAR_SAT; }
  std::string codigoDeAtivacao;
  std::string pullMessageToSend() const override;
};

class EnvioDesbloquearSAT : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return DESBLOQUEAR_SAT; }
  std::string codigoDeAtivacao;
  std::string pullMessageToSend() const override;
};

class EnvioTrocarCodigoDeAtivacao : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return TROCAR_CODIGO_DE_ATIVACAO; }
  std::string codigoDeAtivacao;
  int32_t opcao = 1;
  std::string novoCodigo;
  std::string confNovoCodigo;
  std::string pullMessageToSend() const override;
};

class EnvioConsultarUltimaSessaoFiscal : public SendMessageBase {
 public:
  sat_function_id_t functionId() const override { return CONSULTAR_ULTIMA_SESSAO_FISCAL; }
  std::string codigoDeAtivacao;
  std::string pullMessageToSend() const override;
};

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
