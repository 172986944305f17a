// SPDX-License-Identifier: MIT
// The one object through which every exported function reaches the device:
// it owns the channel, knows which port to open, reconnects when it finds
// the link closed, and runs one transaction per SAT call.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "comm/comm_channel.h"
#include "comm/exchange_outcome.h"
#include "core/records.h"
#include "usb/usb_serial_devices.h"

namespace Tivaxlib {

// How a call through the device object ended. Every way to the invalid
// result is told apart: the exchange's own outcome says more.
enum class CallOutcome {
  Answered,        // the device's answer, valid for the request
  RefusedLocally,  // a malformed sale, answered by the library itself
  SetupPending,    // a set-up function was waiting for the link: nothing started
  NoDevice,        // no port configured, and none found
  OpenFailed,      // the port could not be opened
  ExchangeFailed,  // no answer came back (see `exchange`)
  Rejected,        // the answer did not pass the function's rule
};

struct CallResult {
  CallOutcome outcome = CallOutcome::Answered;
  Comm::ExchangeOutcome exchange = Comm::ExchangeOutcome::Answered;
  bool reconnected = false;  // the link was opened for this call
  bool succeeded() const {
    return outcome == CallOutcome::Answered || outcome == CallOutcome::RefusedLocally;
  }
};

class Tivax {
 public:
  // Builds the channel for a port path; the real one opens a serial
  // terminal, tests put a scripted one in its place.
  using ChannelFactory =
      std::function<std::unique_ptr<Comm::ICommChannel>(const std::string& port)>;

  // The factory of real channels, over a serial terminal.
  static ChannelFactory serialTerminal();

  Tivax();
  Tivax(ChannelFactory factory, SysfsRoots roots);
  ~Tivax();
  Tivax(const Tivax&) = delete;
  Tivax& operator=(const Tivax&) = delete;

  // The process-wide object, created on first use.
  static Tivax& instance();
  // Whether instance() has been called yet in this process.
  static bool instanceCreated();

  // Connection management, for the set-up functions. Each first announces
  // itself, which ends any wait of an exchange in progress (a silent device
  // must not hold a set-up for good), then takes the object's lock, so a
  // channel that an exchange is using is never replaced under it.
  bool connect();
  bool disconnect();
  bool restart();
  bool isConnected() const;
  bool setComPort(const std::string& port);
  std::string getSATCommPort() const;

  void setChannelFactory(ChannelFactory factory);
  // Where discovery looks (tests point it into a temporary tree).
  void setSysfsRoots(SysfsRoots roots);

  bool ativarSAT(const ativar_sat_t& req, ativar_sat_retorno_t& ret, std::string& raw);
  bool comunicarCertificadoICPBRASIL(const comunicar_certificado_icpbrasil_t& req,
                                     comunicar_certificado_icpbrasil_retorno_t& ret,
                                     std::string& raw);
  bool enviarDadosVenda(const enviar_dados_venda_t& req, enviar_dados_venda_retorno_t& ret,
                        std::string& raw);
  bool cancelarUltimaVenda(const cancelar_ultima_venda_t& req,
                           cancelar_ultima_venda_retorno_t& ret, std::string& raw);
  bool consultarSAT(const consultar_sat_t& req, consultar_sat_retorno_t& ret, std::string& raw);
  bool testeFimAFim(const teste_fim_a_fim_t& req, teste_fim_a_fim_retorno_t& ret,
                    std::string& raw);
  bool consultarStatusOperacional(const consultar_status_operacional_t& req,
                                  consultar_status_operacional_retorno_t& ret, std::string& raw);
  bool consultarNumeroSessao(const consultar_numero_sessao_t& req,
                             consultar_numero_sessao_retorno_t& ret, std::string& raw);
  bool configurarInterfaceDeRede(const configurar_interface_rede_t& req,
                                 configurar_interface_rede_retorno_t& ret, std::string& raw);
  bool associarAssinatura(const associar_assinatura_t& req, associar_assinatura_retorno_t& ret,
                          std::string& raw);
  bool atualizarSoftwareSAT(const atualizar_software_t& req, atualizar_software_retorno_t& ret,
                            std::string& raw);
  bool extrairLogs(const extrair_log_t& req, extrair_log_retorno_t& ret, std::string& raw);
  bool bloquearSAT(const bloquear_sat_t& req, bloquear_sat_retorno_t& ret, std::string& raw);
  bool desbloquearSAT(const desbloquear_sat_t& req, desbloquear_sat_retorno_t& ret,
                      std::string& raw);
  bool trocarCodigoDeAtivacao(const trocar_codigo_ativacao_t& req,
                              trocar_codigo_ativacao_retorno_t& ret, std::string& raw);
  bool consultarUltimaSessaoFiscal(const consultar_ultima_sessao_fiscal_t& req,
                                   consultar_ultima_sessao_fiscal_retorno_t& ret,
                                   std::string& raw);

  // Parses the sale XML and checks it against the CF-e input layout; on
  // failure `detail` tells why (empty when the text is not XML at all).
  bool check_cfe(const enviar_dados_venda_t& req, std::string& detail) const;

 private:
  // A set-up function's work: announced first (which ends the wait of the
  // exchange in progress), then done under `mutex`.
  template <class Work>
  bool asSetUp(Work work);

  // The port discovery finds, or "" with the reason noted; logged either way.
  std::string discoverPort() const;

  // Callers hold `mutex`. Answered stands for a link that is open.
  CallOutcome connectLocked();
  bool disconnectLocked();
  CallOutcome restartLocked();

  // The shared road of every operation. `refuse` runs after the reset of
  // the return record and before the link is looked at; when it refuses,
  // the call ends there with the line it made (the sale's local refusal),
  // with or without a device.
  template <class Tx, class Req, class Ret, class Refuse>
  CallResult run(const Req& req, Ret& ret, std::string& raw, Refuse refuse);
  template <class Tx, class Req, class Ret>
  bool run(const Req& req, Ret& ret, std::string& raw);

  std::unique_ptr<Comm::ICommChannel> channel;
  std::mutex mutex;
  std::string comPort;
  std::string channelPort;  // the port of `channel`
  ChannelFactory factory;
  SysfsRoots roots;
};

}  // namespace Tivaxlib
