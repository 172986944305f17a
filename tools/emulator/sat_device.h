// SPDX-License-Identifier: MIT
// The device's behaviour, apart from the wire: one request line in, one
// answer line out, with the state the answers depend on (device_state.h).
//
// Two identities. With a state file the device starts new (not activated)
// and follows every gate: activation, association, blocks, the IE it
// learns. Without one it is the built-in test device: activated with the
// given code, taking sales from any taxpayer, IE and software house
// (AssociarAssinatura is answered but stores nothing), and AtivarSAT may be
// repeated (04000 instead of 04003). Sales are judged and computed the same
// way in both.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "cfe_compute.h"
#include "device_state.h"
#include "request_line.h"

namespace tivaxemu {

// The device's answer to one request: the fields after the session number
// and result code. Formatted as
//   session|EEEEE|mensagem|cod|mensagemSEFAZ|tail...
// and, for a sale or a cancellation,
//   session|EEEEE|CCCC|mensagem|cod|mensagemSEFAZ|tail...
struct Reply {
  int detail = 0;  // the last three digits of EEEEE; the first two name the function
  std::string message;
  std::string cod;
  std::string mensagemSEFAZ;
  std::string cccc = "0000";
  std::vector<std::string> tail;
  std::string verbatim;  // when set, the whole line (a replayed answer)
  std::string note;      // why, for --verbose (the rule and element of a rejection)
};

struct DeviceSettings {
  std::string activationCode = "12345678";
  std::string emergencyCode = "87654321";
  // Empty: the built-in test identity, kept in memory only.
  std::string statePath;
  // Wrong activation codes in a row before the device locks itself; 0:
  // never.
  int maxWrongCodes = 3;
  // An IE parametrised from the start; empty: the first sale sets it.
  std::string stateRegistration;
  Parametrisation parametrisation;
};

class SatDevice {
 public:
  using Clock = std::function<std::time_t()>;

  SatDevice(std::string activationCode, Clock clock);
  SatDevice(DeviceSettings settings, Clock clock);

  // Reads the state file (when there is one) and makes the device's key
  // on the first start. False with the reason when the file is unusable.
  bool open(std::string& error);

  struct Answer {
    bool answered = false;     // false: the line is not a request at all
    std::int32_t session = 0;  // the session number read from the line
    std::string line;          // without terminator
    std::string note;          // why, when the answer is a refusal worth explaining
  };
  // `truncated`: the line was longer than the emulator keeps; only its
  // beginning is here.
  Answer handle(const std::string& line, bool truncated = false);

  // A change from outside the protocol (what SEFAZ or the device itself
  // does): "bloqueio-sefaz on|off", "bloqueio-autonomo on|off",
  // "atualizacao-pendente on|off", "ocupado N" (the next N calls answer
  // xx098), "relogio MINUTOS" (the device clock that many minutes ahead of
  // the host's; negative: behind). Returns
  // false with the reason for a command it does not know.
  bool control(const std::string& command, std::string& outcome);

  const std::string& activationCode() const { return state.activationCode; }
  bool blocked() const {
    return state.blockedByTaxpayer || state.blockedBySefaz || state.autonomousBlock ||
           state.lockedOut;
  }
  const DeviceState& deviceState() const { return state; }
  // The last reason the state file could not be written; empty if none.
  const std::string& saveError() const { return lastSaveError; }

  // Log lines kept for ExtrairLogs.
  static const std::size_t kLogLines = 500;
  // Largest sale the device takes.
  static const std::size_t kMaxSaleBytes = 1500 * 1024;

 private:
  struct Function;
  static const Function kFunctions[16];

  Reply ativarSAT(const Request& r);
  Reply comunicarCertificado(const Request& r);
  Reply enviarDadosVenda(const Request& r);
  Reply cancelarUltimaVenda(const Request& r);
  Reply consultarSAT(const Request& r);
  Reply testeFimAFim(const Request& r);
  Reply consultarStatusOperacional(const Request& r);
  Reply consultarNumeroSessao(const Request& r);
  Reply configurarInterfaceDeRede(const Request& r);
  Reply associarAssinatura(const Request& r);
  Reply atualizarSoftware(const Request& r);
  Reply extrairLogs(const Request& r);
  Reply bloquearSAT(const Request& r);
  Reply desbloquearSAT(const Request& r);
  Reply trocarCodigo(const Request& r);
  Reply consultarUltimaSessaoFiscal(const Request& r);

  // True (with the refusal) when a block stops a sale or a cancellation.
  bool blockedFor(bool sale, Reply& refusal) const;
  // The checks before a function runs: busy, activation, the code.
  bool gate(int function, const Request& r, Reply& refusal);
  // A sale judged and, when it passes, computed; false with the refusal.
  bool judge(const std::string& xml, bool fiscal, pugi::xml_document& document,
             SaleFigures& figures, Reply& refusal);
  Reply issueSale(const pugi::xml_document& document, const SaleFigures& figures, bool test);

  std::string format(int function, std::int32_t session, const Reply& reply) const;
  std::time_t now() const;
  std::string timestamp() const;
  DocumentStamp stamp(std::int64_t number);
  // Counts a new CF-e.
  void issued(const std::string& key, const std::string& when);
  void log(std::int32_t session, const char* function, const std::string& result);
  void save();

  DeviceSettings settings;
  bool builtIn;
  Clock clock;
  DeviceState state;
  std::string lastSaveError;
};

}  // namespace tivaxemu
