// SPDX-License-Identifier: MIT
// Response messages: one class per SAT function, filled from what the
// device sent back.
//
// The device may echo the request line before its answer, so the received
// text is one line (the answer, or the bare echo) or two (echo, answer).
// Blank lines are passed over, and so are lines that carry another
// session's number (a late answer to an earlier request), except for the
// session queries, whose answer may be another session's stored line.
// The answer line is split on "|" and stored field by field; the line
// itself, with its first field rewritten as a six-digit session number, is
// kept in rawResponse and is what the caller finally gets.
//
// Decoding never reports anything: a text that cannot be decoded leaves the
// record at its defaults, or filled up to the field where a conversion
// failed, and the transaction's validation then rejects it. A record whose
// envio link is not set cannot tell an echo from an answer and decodes
// nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "comm/comm_message.h"
#include "log/reason.h"
#include "messages/sat_function_id.h"
#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

class ReceiveMessageBase : public Comm::ICommReceiveMessage {
 public:
  int32_t numeroSessao = 0;
  int32_t EEEEE = 0;
  std::string mensagem;
  int32_t cod = 0;
  std::string mensagemSEFAZ;
  std::string rawResponse;

  bool blockingRead() const override { return true; }
  bool answerPending() const override { return pending; }
  std::string describeForLog(const std::string& received) const override;

  // Why the last text handed over gave no answer this record could take:
  // kind None when it was decoded whole, or the answer is still on its way.
  const Log::Reason& decodeFailure() const { return failure; }
  // Lines passed over as another session's (a late answer to an earlier
  // request), and the session number of the last one.
  int passedOverLines() const { return passedOver; }
  int32_t passedOverSession() const { return otherSession; }

 protected:
  // Set when what arrived held nothing that answers this request: the bare
  // echo, blank lines, lines for other sessions. The answer is still on the
  // way, and the record is as it was.
  bool pending = false;
  Log::Reason failure;
  bool echoSeen = false;
  int passedOver = 0;
  int32_t otherSession = 0;
  // For the log only: the request decoded against, and the line taken as
  // the answer (kept only while the log is on).
  const SendMessageBase* decodedFor = nullptr;
  std::string answerLine;

  // The one decoding routine behind every pushReceivedMessage. The function
  // id selects the echo signature and the field layout; the class hands in
  // the destinations of its own fields: the texts its layout fills in order
  // and, for the sale answers, the second result code. Never throws.
  void decodeReceived(const std::string& received, const SendMessageBase* request,
                      sat_function_id_t id, std::initializer_list<std::string*> ownTexts = {},
                      int32_t* secondCode = nullptr) noexcept;
};

class RetornoAtivarSAT : public ReceiveMessageBase {
 public:
  std::string CSR;
  void pushReceivedMessage(std::string& received) override;
  const EnvioAtivarSAT* envio = nullptr;
};

class RetornoComunicarCertificadoICPBRASIL : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioComunicarCertificadoICPBRASIL* envio = nullptr;
};

// The sale and the cancellation answer alike: a second result code and the
// signed receipt.
class SaleReceiveMessageBase : public ReceiveMessageBase {
 public:
  int32_t CCCC = 0;
  std::string arquivoCFeBase64;
  std::string timeStamp;
  std::string chaveConsulta;
  std::string valorTotalCFe;
  std::string CPFCNPJValue;
  std::string assinaturaQRCODE;

 protected:
  void decodeSale(const std::string& received, const SendMessageBase* request,
                  sat_function_id_t id) noexcept;
};

class RetornoEnviarDadosVenda : public SaleReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioEnviarDadosVenda* envio = nullptr;
};

class RetornoCancelarUltimaVenda : public SaleReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioCancelarUltimaVenda* envio = nullptr;
};

// The status query is polled rather than waited for: the device may be
// busy with a sale and the caller wants to know that quickly.
class RetornoConsultarSAT : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  bool blockingRead() const override { return false; }
  const EnvioConsultarSAT* envio = nullptr;
};

class RetornoTesteFimAFim : public ReceiveMessageBase {
 public:
  std::string arquivoCFeBase64;
  std::string timeStamp;
  std::string numDocFiscal;
  std::string chaveConsulta;
  void pushReceivedMessage(std::string& received) override;
  const EnvioTesteFimAFim* envio = nullptr;
};

class RetornoConsultarStatusOperacional : public ReceiveMessageBase {
 public:
  std::string dadosStatus;
  void pushReceivedMessage(std::string& received) override;
  const EnvioConsultarStatusOperacional* envio = nullptr;
};

class RetornoConsultarNumeroSessao : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioConsultarNumeroSessao* envio = nullptr;
};

class RetornoConfigurarInterfaceDeRede : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioConfigurarInterfaceDeRede* envio = nullptr;
};

class RetornoAssociarAssinatura : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioAssociarAssinatura* envio = nullptr;
};

class RetornoAtualizarSoftwareSAT : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioAtualizarSoftwareSAT* envio = nullptr;
};

class RetornoExtrairLogs : public ReceiveMessageBase {
 public:
  std::string arquivoLog;
  void pushReceivedMessage(std::string& received) override;
  const EnvioExtrairLogs* envio = nullptr;
};

class RetornoBloquearSAT : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioBloquearSAT* envio = nullptr;
};

class RetornoDesbloquearSAT : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioDesbloquearSAT* envio = nullptr;
};

class RetornoTrocarCodigoDeAtivacao : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioTrocarCodigoDeAtivacao* envio = nullptr;
};

class RetornoConsultarUltimaSessaoFiscal : public ReceiveMessageBase {
 public:
  void pushReceivedMessage(std::string& received) override;
  const EnvioConsultarUltimaSessaoFiscal* envio = nullptr;
};

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
