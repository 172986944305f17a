// SPDX-License-Identifier: MIT
#include "messages/send_messages.h"

#include "log/text_format.h"
#include "log/trace.h"
#include "messages/messages_util.h"
#include "messages/request_fields.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

std::string SendMessageBase::pullMessageToLog() const {
  return Log::formatText("%s session=%s line=%s", requestLayout(functionId()).function,
                         MessagesUtil::formatSession(numeroSessao).c_str(),
                         Log::quoted(requestLineForLog(*this)).c_str());
}

// Every line lists the fields in the order of the exported function's
// parameters, which is the order the device reads them in.

std::string EnvioAtivarSAT::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(ATIVAR_SAT, numeroSessao, subComando, codigoDeAtivacao, CNPJ,
                                      cUF);
}

std::string EnvioComunicarCertificadoICPBRASIL::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(COMUNICAR_CERTIFICADO_ICPBRASIL, numeroSessao,
                                      codigoDeAtivacao, certificado);
}

std::string EnvioEnviarDadosVenda::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(ENVIAR_DADOS_VENDA, numeroSessao, codigoDeAtivacao,
                                      dadosVenda);
}

std::string EnvioCancelarUltimaVenda::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(CANCELAR_ULTIMA_VENDA, numeroSessao, codigoDeAtivacao, chave,
                                      dadosCancelamento);
}

std::string EnvioConsultarSAT::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(CONSULTAR_SAT, numeroSessao);
}

std::string EnvioTesteFimAFim::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(TESTE_FIM_A_FIM, numeroSessao, codigoDeAtivacao, dadosVenda);
}

std::string EnvioConsultarStatusOperacional::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(CONSULTAR_STATUS_OPERACIONAL, numeroSessao,
                                      codigoDeAtivacao);
}

std::string EnvioConsultarNumeroSessao::pullMessageToSend() const {
  // The session asked about goes out in plain decimal, unlike the request's
  // own session number.
  return MessagesUtil::functionToPipe(CONSULTAR_NUMERO_SESSAO, numeroSessao, codigoDeAtivacao,
                                      cNumeroDeSessao);
}

std::string EnvioConfigurarInterfaceDeRede::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(CONFIGURAR_INTERFACE_DE_REDE, numeroSessao,
                                      codigoDeAtivacao, dadosConfiguracao);
}

std::string EnvioAssociarAssinatura::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(ASSOCIAR_ASSINATURA, numeroSessao, codigoDeAtivacao,
                                      CNPJvalue, assinaturaCNPJs);
}

std::string EnvioAtualizarSoftwareSAT::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(ATUALIZAR_SOFTWARE_SAT, numeroSessao, codigoDeAtivacao);
}

std::string EnvioExtrairLogs::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(EXTRAIR_LOGS, numeroSessao, codigoDeAtivacao);
}

std::string EnvioBloquearSAT::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(BLOQUEAR_SAT, numeroSessao, codigoDeAtivacao);
}

std::string EnvioDesbloquearSAT::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(DESBLOQUEAR_SAT, numeroSessao, codigoDeAtivacao);
}

std::string EnvioTrocarCodigoDeAtivacao::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(TROCAR_CODIGO_DE_ATIVACAO, numeroSessao, codigoDeAtivacao,
                                      opcao, novoCodigo, confNovoCodigo);
}

std::string EnvioConsultarUltimaSessaoFiscal::pullMessageToSend() const {
  return MessagesUtil::functionToPipe(CONSULTAR_ULTIMA_SESSAO_FISCAL, numeroSessao,
                                      codigoDeAtivacao);
}

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
