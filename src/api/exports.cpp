// SPDX-License-Identifier: MIT
// The exported functions: argument checks, the records handed to the
// device object, and the result strings handed back to the application.
// Every function with C linkage runs its body inside a guard so that no
// exception, whatever its type, reaches the application.
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "cfe/sale_text.h"
#include "comm/waits.h"
#include "core/tivax.h"
#include "log/reason.h"
#include "log/text_format.h"
#include "log/trace.h"
#include "tivax.h"

using Tivaxlib::Tivax;

namespace {

using Tivaxlib::Log::Reason;
using Tivaxlib::Log::ReasonKind;

std::atomic<bool> g_initialised{false};

// Handed out when not even four bytes can be allocated, so that no call
// ever returns a null pointer; DesalocarString knows not to release it.
char g_emergencyInvalid[4] = {0, 0, 0, 0};

// Why the calling thread's last call gave the invalid result ("" when it
// did not); TivaxlibUltimoErro hands out its text.
thread_local std::string t_lastError;
// Stands in for t_lastError when even its text could not be made.
thread_local const char* t_fixedError = nullptr;
const char kOutOfMemory[] = "erro interno: memória insuficiente";

char* invalidResult() noexcept {
  char* s = new (std::nothrow) char[4]();
  return s ? s : g_emergencyInvalid;
}

// One exported call: the thread's last error is cleared on entry and, when
// the call fails, becomes the reason the layers below noted; the log gets
// the verdict.
class CallFrame {
 public:
  explicit CallFrame(const char* function) noexcept : scope_(function), function_(function) {
    t_lastError.clear();
    t_fixedError = nullptr;
    Tivaxlib::Log::clearNoted();
  }
  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  // Something escaped the body: that is the reason, whatever was noted.
  void escaped(const char* what) noexcept {
    try {
      Tivaxlib::Log::noteReason(Reason(ReasonKind::Internal).saying(what));
    } catch (...) {
      t_fixedError = kOutOfMemory;
    }
  }
  void failed() noexcept {
    if (t_fixedError) return;
    try {
      if (Tivaxlib::Log::notedReason().kind == ReasonKind::None)
        Tivaxlib::Log::noteReason(Reason(ReasonKind::Internal).saying("motivo não registrado"));
      t_lastError = Tivaxlib::Log::renderNoted();
    } catch (...) {
      t_lastError.clear();
      t_fixedError = kOutOfMemory;
    }
  }
  void verdict(const char* outcome) const noexcept {
    if (!Tivaxlib::Log::tracing()) return;
    try {
      const char* reason = TivaxlibUltimoErro();
      Tivaxlib::Log::trace("verdict", std::string(function_) + " " + outcome +
                                          (*reason ? std::string(": ") + reason : std::string()));
    } catch (...) {
    }
  }

 private:
  const Tivaxlib::Log::CallScope scope_;
  const char* function_;
};

template <class Body>
char* guardedString(const char* function, Body body) noexcept {
  CallFrame frame(function);
  char* result = nullptr;
  try {
    result = body();
  } catch (const std::bad_alloc&) {
    frame.escaped("memória insuficiente");
  } catch (const std::exception& error) {
    frame.escaped(error.what());
  } catch (...) {
    frame.escaped("exceção desconhecida");
  }
  if (result == nullptr) result = invalidResult();
  if (*result == '\0') frame.failed();
  frame.verdict(*result ? "valid" : "invalid");
  return result;
}

// A set-up function: `body` sets `failed` when it could not do its work
// (its reason noted) and returns the function's result.
template <class Body>
int guardedInt(const char* function, int failure, Body body) noexcept {
  CallFrame frame(function);
  bool failed = false;
  int result = failure;
  try {
    result = body(failed);
  } catch (...) {
    frame.escaped("memória insuficiente, ou uma trava do sistema falhou");
    failed = true;
    result = failure;
  }
  if (failed) frame.failed();
  frame.verdict(result ? "returned 1" : "returned 0");
  return result;
}

// The link opened, but the terminal refused the settings it needs.
bool settingsRefused() { return Tivaxlib::Log::notedReason().kind == ReasonKind::SettingsRefused; }

// How a text argument travels: a plain field, which must not hold what
// separates fields or lines; an XML document, whose "|" goes out escaped
// and whose line feeds the link drops; a certificate, whose line breaks
// (a PEM text has them) are dropped the same way.
// A port path is never sent.
enum class Travels { Plain, Xml, Certificate, NotSent };

struct Argument {
  const char* name;
  const char* value;
  Travels travels = Travels::Plain;
};

// What in `value` would change the fields or the lines the device sees;
// nullptr when nothing.
const char* fieldBreaker(const char* value, Travels travels) {
  if (travels == Travels::Xml || travels == Travels::NotSent) return nullptr;
  if (std::strchr(value, '|') != nullptr) return "contém \"|\", que separa os campos do pedido";
  if (travels == Travels::Certificate) return nullptr;
  if (std::strpbrk(value, "\r\n") != nullptr)
    return "contém uma quebra de linha (CR ou LF), que corta o pedido";
  return nullptr;
}

// Notes the first NULL text argument, or the first plain one that would
// change the request's fields, as the call's reason; true when there is
// one. Nothing is then sent.
bool anyRefused(std::initializer_list<Argument> arguments) {
  for (const Argument& argument : arguments) {
    if (argument.value == nullptr) {
      Tivaxlib::Log::noteReason(Reason(ReasonKind::NullArgument)
                                    .on(argument.name)
                                    .saying(Tivaxlib::Log::currentCall()));
      return true;
    }
  }
  for (const Argument& argument : arguments) {
    if (const char* breaker = fieldBreaker(argument.value, argument.travels)) {
      Tivaxlib::Log::noteReason(
          Reason(ReasonKind::InvalidArgument).on(argument.name).saying(breaker));
      return true;
    }
  }
  return false;
}

// Runs the operation; true with the line in `raw`, false with the reason
// noted.
template <class Req, class Ret>
bool perform(bool (Tivax::*operation)(const Req&, Ret&, std::string&), const Req& req, Ret& ret,
             std::string& raw) {
  if (!(Tivax::instance().*operation)(req, ret, raw)) return false;
  if (!raw.empty()) return true;
  Tivaxlib::Log::noteReason(Reason(ReasonKind::Internal).saying("a resposta aceita veio vazia"));
  return false;
}

// The common road of a SAT call: run the operation, hand back its line.
template <class Req, class Ret>
char* runOperation(bool (Tivax::*operation)(const Req&, Ret&, std::string&), const Req& req) {
  Ret ret;
  std::string raw;
  return perform(operation, req, ret, raw) ? AllocAndBuildRet(raw) : retornoInvalido();
}

// The session queries may be answered with another session's stored line,
// which the answer's message then holds whole.
template <class Req, class Ret>
char* runSessionQuery(bool (Tivax::*operation)(const Req&, Ret&, std::string&), const Req& req) {
  Ret ret;
  std::string raw;
  if (!perform(operation, req, ret, raw)) return retornoInvalido();
  return AllocAndBuildRet(ret.numeroSessao != req.numeroSessao ? ret.mensagem : raw);
}

template <class Req>
Req codigoOnly(int numeroSessao, const char* codigoDeAtivacao) {
  Req req;
  req.numeroSessao = numeroSessao;
  req.codigoDeAtivacao = codigoDeAtivacao;
  return req;
}

// The status answer's fields, split at every "|"; at most `limit` kept.
std::vector<std::string> splitFields(const std::string& line, size_t limit) {
  std::vector<std::string> fields(limit);
  size_t index = 0, start = 0;
  while (index < limit) {
    const size_t bar = line.find('|', start);
    fields[index++] = line.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return fields;
}

struct ResultReleaser {
  void operator()(char* s) const { DesalocarString(s); }
};

// A copy of a result string, which is released even when copying fails.
std::string takeString(char* s) {
  std::unique_ptr<char, ResultReleaser> owned(s);
  return s ? s : "";
}

// Session numbers for consultaBloqueio's own requests, below 999999. The
// generator is the library's own, so that the application's rand()
// sequence stays as the application set it; two draws in a row never give
// the same number, so that the second request cannot be taken for the
// first one's answer.
int randomSession() {
  static std::mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  static int last = 0;
  std::uniform_int_distribution<int> draw(1, 999998);
  const std::lock_guard<std::mutex> lock(mutex);
  int session = draw(generator);
  while (session == last) session = draw(generator);
  last = session;
  return session;
}

const size_t kStatusFieldCount = 28;

// The operational status says unblocked only as a success (10000) whose
// last field, the blocking state, is a digit string of zeros.
int blockedByStatus(const std::string& status) {
  const std::vector<std::string> fields = splitFields(status, kStatusFieldCount);
  const std::string& state = fields[kStatusFieldCount - 1];
  if (fields[1] != "10000" || !is_number(state)) return 1;
  // Any digit string but zeros says blocked, however long it is.
  return state.find_first_not_of('0') == std::string::npos ? 0 : 1;
}

}  // namespace

TIVAX_API char* retornoInvalido() {
  char* s = new char[4];
  std::memset(s, 0, 4);
  return s;
}

TIVAX_API char* AllocAndBuildRet(const std::string& text) {
  char* s = new char[text.size() + 1]();
  std::memcpy(s, text.data(), text.size());
  return s;
}

extern "C" {

TIVAX_API int TivaxlibInit(void) {
  return guardedInt(__func__, 0, [](bool& failed) {
    Tivaxlib::Comm::rereadAnswerTimeout();
    // Already connected: nothing to do, so nothing in progress is cancelled.
    if (g_initialised) return 1;
    try {
      g_initialised = Tivax::instance().connect();
    } catch (const std::exception& error) {
      g_initialised = false;
      Tivaxlib::Log::noteReason(Reason(ReasonKind::Internal).saying(error.what()));
    }
    failed = !g_initialised || settingsRefused();
    return g_initialised ? 1 : 0;
  });
}

TIVAX_API int TivaxlibDeInit(void) {
  return guardedInt(__func__, 1, [](bool&) {
    g_initialised = false;
    Tivax::instance().disconnect();
    return 1;
  });
}

// 1 for any path stored, opened or not; when it could not be opened, the
// thread's last error says why.
TIVAX_API int ConfigurarPortaSerial(const char* porta) {
  return guardedInt(__func__, 0, [porta](bool& failed) {
    Tivaxlib::Comm::rereadAnswerTimeout();
    failed = true;
    if (anyRefused({{"porta", porta, Travels::NotSent}})) return 0;
    const std::string port = porta;
    if (port.empty()) {
      Tivaxlib::Log::noteReason(
          Reason(ReasonKind::InvalidArgument).on("porta").saying("é um texto vazio"));
      return 0;
    }
    // A port whose settings were refused is open, but says why it will
    // not work.
    failed = !Tivax::instance().setComPort(port) || settingsRefused();
    return 1;
  });
}

// When no device is plugged in, the thread's last error says what
// discovery found instead.
TIVAX_API int DispositivoConectado(void) {
  return guardedInt(__func__, 0, [](bool& failed) {
    failed = !Tivax::instance().isConnected();
    return failed ? 0 : 1;
  });
}

TIVAX_API void DesalocarString(char* s) {
  if (s != g_emergencyInvalid) delete[] s;
}

TIVAX_API const char* TivaxlibUltimoErro(void) {
  return t_fixedError ? t_fixedError : t_lastError.c_str();
}

TIVAX_API char* AtivarSAT(int numeroSessao, int subComando, const char* codigoDeAtivacao,
                          const char* CNPJ, int cUF) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}, {"CNPJ", CNPJ}})) return retornoInvalido();
    Tivaxlib::ativar_sat_t req;
    req.numeroSessao = numeroSessao;
    req.subComando = subComando;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.CNPJ = CNPJ;
    req.cUF = cUF;
    return runOperation(&Tivax::ativarSAT, req);
  });
}

TIVAX_API char* ComunicarCertificadoICPBRASIL(int numeroSessao, const char* codigoDeAtivacao,
                                              const char* certificado) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}, {"certificado", certificado, Travels::Certificate}}))
      return retornoInvalido();
    Tivaxlib::comunicar_certificado_icpbrasil_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.certificado = certificado;
    return runOperation(&Tivax::comunicarCertificadoICPBRASIL, req);
  });
}

TIVAX_API char* EnviarDadosVenda(int numeroSessao, const char* codigoDeAtivacao,
                                 const char* dadosVenda) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}, {"dadosVenda", dadosVenda, Travels::Xml}}))
      return retornoInvalido();
    Tivaxlib::enviar_dados_venda_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.dadosVenda = dadosVenda;
    prepare_sale_xml(req.dadosVenda);
    return runOperation(&Tivax::enviarDadosVenda, req);
  });
}

TIVAX_API char* CancelarUltimaVenda(int numeroSessao, const char* codigoDeAtivacao,
                                    const char* chave, const char* dadosCancelamento) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao},
                 {"chave", chave},
                 {"dadosCancelamento", dadosCancelamento, Travels::Xml}}))
      return retornoInvalido();
    Tivaxlib::cancelar_ultima_venda_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.chave = chave;
    req.dadosCancelamento = dadosCancelamento;
    prepare_sale_xml(req.dadosCancelamento);
    return runOperation(&Tivax::cancelarUltimaVenda, req);
  });
}

TIVAX_API char* ConsultarSAT(int numeroSessao) {
  return guardedString(__func__, [&] {
    Tivaxlib::consultar_sat_t req;
    req.numeroSessao = numeroSessao;
    return runOperation(&Tivax::consultarSAT, req);
  });
}

TIVAX_API char* TesteFimAFim(int numeroSessao, const char* codigoDeAtivacao,
                             const char* dadosVenda) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}, {"dadosVenda", dadosVenda, Travels::Xml}}))
      return retornoInvalido();
    Tivaxlib::teste_fim_a_fim_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.dadosVenda = dadosVenda;
    // The same XML a sale sends, cleaned the same way.
    prepare_sale_xml(req.dadosVenda);
    return runOperation(&Tivax::testeFimAFim, req);
  });
}

TIVAX_API char* ConsultarStatusOperacional(int numeroSessao, const char* codigoDeAtivacao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    return runOperation(&Tivax::consultarStatusOperacional,
                        codigoOnly<Tivaxlib::consultar_status_operacional_t>(numeroSessao,
                                                                            codigoDeAtivacao));
  });
}

TIVAX_API char* ConsultarNumeroSessao(int numeroSessao, const char* codigoDeAtivacao,
                                      int cNumeroDeSessao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    if (cNumeroDeSessao <= 0) {
      Tivaxlib::Log::noteReason(
          Reason(ReasonKind::InvalidArgument)
              .on("cNumeroDeSessao")
              .saying(Tivaxlib::Log::formatText("precisa ser 1 ou mais, e é %d", cNumeroDeSessao)));
      return retornoInvalido();
    }
    Tivaxlib::consultar_numero_sessao_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.cNumeroDeSessao = cNumeroDeSessao;
    return runSessionQuery(&Tivax::consultarNumeroSessao, req);
  });
}

TIVAX_API char* ConfigurarInterfaceDeRede(int numeroSessao, const char* codigoDeAtivacao,
                                          const char* dadosConfiguracao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}, {"dadosConfiguracao", dadosConfiguracao, Travels::Xml}}))
      return retornoInvalido();
    Tivaxlib::configurar_interface_rede_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.dadosConfiguracao = dadosConfiguracao;
    return runOperation(&Tivax::configurarInterfaceDeRede, req);
  });
}

TIVAX_API char* AssociarAssinatura(int numeroSessao, const char* codigoDeAtivacao,
                                   const char* CNPJvalue, const char* assinaturaCNPJs) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao},
                 {"CNPJvalue", CNPJvalue},
                 {"assinaturaCNPJs", assinaturaCNPJs}}))
      return retornoInvalido();
    Tivaxlib::associar_assinatura_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.CNPJvalue = CNPJvalue;
    req.assinaturaCNPJs = assinaturaCNPJs;
    return runOperation(&Tivax::associarAssinatura, req);
  });
}

TIVAX_API char* AtualizarSoftwareSAT(int numeroSessao, const char* codigoDeAtivacao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    return runOperation(&Tivax::atualizarSoftwareSAT,
                        codigoOnly<Tivaxlib::atualizar_software_t>(numeroSessao, codigoDeAtivacao));
  });
}

TIVAX_API char* ExtrairLogs(int numeroSessao, const char* codigoDeAtivacao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    return runOperation(&Tivax::extrairLogs,
                        codigoOnly<Tivaxlib::extrair_log_t>(numeroSessao, codigoDeAtivacao));
  });
}

TIVAX_API char* BloquearSAT(int numeroSessao, const char* codigoDeAtivacao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    return runOperation(&Tivax::bloquearSAT,
                        codigoOnly<Tivaxlib::bloquear_sat_t>(numeroSessao, codigoDeAtivacao));
  });
}

TIVAX_API char* DesbloquearSAT(int numeroSessao, const char* codigoDeAtivacao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    return runOperation(&Tivax::desbloquearSAT,
                        codigoOnly<Tivaxlib::desbloquear_sat_t>(numeroSessao, codigoDeAtivacao));
  });
}

TIVAX_API char* TrocarCodigoDeAtivacao(int numeroSessao, const char* codigoDeAtivacao, int opcao,
                                       const char* novoCodigo, const char* confNovoCodigo) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao},
                 {"novoCodigo", novoCodigo},
                 {"confNovoCodigo", confNovoCodigo}}))
      return retornoInvalido();
    Tivaxlib::trocar_codigo_ativacao_t req;
    req.numeroSessao = numeroSessao;
    req.codigoDeAtivacao = codigoDeAtivacao;
    req.opcao = opcao;
    req.novoCodigo = novoCodigo;
    req.confNovoCodigo = confNovoCodigo;
    return runOperation(&Tivax::trocarCodigoDeAtivacao, req);
  });
}

TIVAX_API char* ConsultarUltimaSessaoFiscal(int numeroSessao, const char* codigoDeAtivacao) {
  return guardedString(__func__, [&] {
    if (anyRefused({{"codigoDeAtivacao", codigoDeAtivacao}})) return retornoInvalido();
    return runSessionQuery(
        &Tivax::consultarUltimaSessaoFiscal,
        codigoOnly<Tivaxlib::consultar_ultima_sessao_fiscal_t>(numeroSessao, codigoDeAtivacao));
  });
}

}  // extern "C"

// The thread's last error is that of its status query.
TIVAX_API int consultaBloqueio(const char* codigoDeAtivacao) {
  try {
    // One query with the caller's own code: a device counts every wrong
    // code toward its lock-out, so a probe with a code of the library's own
    // would block it after a few calls.
    return blockedByStatus(takeString(ConsultarStatusOperacional(randomSession(), codigoDeAtivacao)));
  } catch (...) {
    return 1;
  }
}
