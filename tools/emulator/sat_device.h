// SPDX-License-Identifier: MIT
// The device's behaviour, apart from the wire: one request line in, one
// answer line out, with the state the answers depend on (activation code,
// blocked flag, sales, stored answers per session, log).
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

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
};

class SatDevice {
 public:
  using Clock = std::function<std::time_t()>;

  SatDevice(std::string activationCode, Clock clock);

  struct Answer {
    bool answered = false;     // false: the line is not a request at all
    std::int32_t session = 0;  // the session number read from the line
    std::string line;          // without terminator
  };
  // `truncated`: the line was longer than the emulator keeps; only its
  // beginning is here.
  Answer handle(const std::string& line, bool truncated = false);

  const std::string& activationCode() const { return code; }
  bool blocked() const { return isBlocked; }

  // Answers kept for ConsultarNumeroSessao; older ones are forgotten.
  static const std::size_t kStoredSessions = 1000;
  // Log lines kept for ExtrairLogs.
  static const std::size_t kLogLines = 500;

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

  std::string format(int function, std::int32_t session, const Reply& reply) const;
  std::string timestamp() const;
  std::string newKey(const std::string& cnpj, std::int64_t number) const;
  // Counts a new CF-e and returns its 44-digit key.
  std::string issue(const std::string& cnpj, const std::string& when);
  void store(std::int32_t session, const std::string& line);
  void log(std::int32_t session, const char* function, const std::string& result);

  // The last sale, which a cancellation must name.
  struct Sale {
    std::string key;  // 44 digits
    std::string emitterCnpj;
    std::string total;
    std::string buyerId;
    bool cancelled = false;
  };

  struct Network {
    std::string type = "DHCP";
    std::string ip = "192.168.1.50";
    std::string mask = "255.255.255.0";
    std::string gateway = "192.168.1.1";
    std::string dns1 = "8.8.8.8";
    std::string dns2 = "8.8.4.4";
  };

  std::string code;
  Clock clock;
  bool isBlocked = false;
  // CF-e issued so far; the keys of the first and the last, and when the
  // last was issued, show in the operational status.
  std::int64_t documentNumber = 0;
  std::string firstKey;
  std::string lastKey;
  std::string lastDocumentTime;
  Sale lastSale;
  bool haveSale = false;
  // The whole answer of the last sale or cancellation.
  std::string lastFiscalAnswer;
  Network network;
  std::map<std::int32_t, std::string> answers;
  std::deque<std::int32_t> answerOrder;
  std::deque<std::string> logLines;
};

}  // namespace tivaxemu
