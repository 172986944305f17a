// SPDX-License-Identifier: MIT
#include "core/tivax.h"

#include <atomic>
#include <cerrno>
#include <utility>

#include "cfe/sale_check.h"
#include "comm/unix_comm_channel.h"
#include "comm/waits.h"
#include "log/reason.h"
#include "log/text_format.h"
#include "log/trace.h"
#include "messages/messages_util.h"
#include "transactions/transactions.h"

namespace Tivaxlib {

namespace M = Transactions::Messages;

namespace {

const char kProductName[] = "Tivax1";

std::atomic<bool> g_instanceCreated{false};

// ---- request records into request messages -------------------------------

void fill(M::EnvioAtivarSAT& m, const ativar_sat_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.subComando = r.subComando;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.CNPJ = r.CNPJ;
  m.cUF = r.cUF;
}
void fill(M::EnvioComunicarCertificadoICPBRASIL& m, const comunicar_certificado_icpbrasil_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.certificado = r.certificado;
}
void fill(M::EnvioEnviarDadosVenda& m, const enviar_dados_venda_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.dadosVenda = r.dadosVenda;
}
void fill(M::EnvioCancelarUltimaVenda& m, const cancelar_ultima_venda_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.chave = r.chave;
  m.dadosCancelamento = r.dadosCancelamento;
}
void fill(M::EnvioConsultarSAT& m, const consultar_sat_t& r) { m.numeroSessao = r.numeroSessao; }
void fill(M::EnvioTesteFimAFim& m, const teste_fim_a_fim_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.dadosVenda = r.dadosVenda;
}
void fill(M::EnvioConsultarNumeroSessao& m, const consultar_numero_sessao_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.cNumeroDeSessao = r.cNumeroDeSessao;
}
void fill(M::EnvioConfigurarInterfaceDeRede& m, const configurar_interface_rede_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.setDadosConfiguracao(r.dadosConfiguracao);
}
void fill(M::EnvioAssociarAssinatura& m, const associar_assinatura_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.CNPJvalue = r.CNPJvalue;
  m.assinaturaCNPJs = r.assinaturaCNPJs;
}
void fill(M::EnvioTrocarCodigoDeAtivacao& m, const trocar_codigo_ativacao_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
  m.opcao = r.opcao;
  m.novoCodigo = r.novoCodigo;
  m.confNovoCodigo = r.confNovoCodigo;
}
// The requests that carry the activation code alone.
template <class Envio>
void fill(Envio& m, const codigo_only_t& r) {
  m.numeroSessao = r.numeroSessao;
  m.codigoDeAtivacao = r.codigoDeAtivacao;
}

// ---- return records: reset before the exchange, filled after it ----------

void resetCommon(retorno_comum_t& r) { r = retorno_comum_t{}; }

void reset(retorno_comum_t& r) { resetCommon(r); }
void reset(ativar_sat_retorno_t& r) {
  resetCommon(r);
  r.CSR.clear();
}
// The end-to-end test leaves its four payload texts as the caller had them.
void reset(teste_fim_a_fim_retorno_t& r) { resetCommon(r); }
void reset(consultar_status_operacional_retorno_t& r) {
  resetCommon(r);
  r.dadosStatus.clear();
}
void reset(extrair_log_retorno_t& r) {
  resetCommon(r);
  r.arquivoLog.clear();
}
// CCCC keeps its value: only a refusal or an answer writes it.
void reset(enviar_dados_venda_retorno_t& r) {
  const int32_t cccc = r.CCCC;
  r = enviar_dados_venda_retorno_t{};
  r.CCCC = cccc;
}

void copyCommon(const M::ReceiveMessageBase& m, retorno_comum_t& r) {
  r.numeroSessao = m.numeroSessao;
  r.EEEEE = m.EEEEE;
  r.mensagem = m.mensagem;
  r.cod = m.cod;
  r.mensagemSEFAZ = m.mensagemSEFAZ;
}
void copy(const M::ReceiveMessageBase& m, retorno_comum_t& r) { copyCommon(m, r); }
void copy(const M::RetornoAtivarSAT& m, ativar_sat_retorno_t& r) {
  copyCommon(m, r);
  r.CSR = m.CSR;
}
void copy(const M::RetornoTesteFimAFim& m, teste_fim_a_fim_retorno_t& r) {
  copyCommon(m, r);
  r.arquivoCFeBase64 = m.arquivoCFeBase64;
  r.timeStamp = m.timeStamp;
  r.numDocFiscal = m.numDocFiscal;
  r.chaveConsulta = m.chaveConsulta;
}
void copy(const M::RetornoConsultarStatusOperacional& m,
          consultar_status_operacional_retorno_t& r) {
  copyCommon(m, r);
  r.dadosStatus = m.dadosStatus;
}
void copy(const M::RetornoExtrairLogs& m, extrair_log_retorno_t& r) {
  copyCommon(m, r);
  r.arquivoLog = m.arquivoLog;
}
// Sale and cancellation answers share one shape.
void copy(const M::SaleReceiveMessageBase& m, enviar_dados_venda_retorno_t& r) {
  r.numeroSessao = m.numeroSessao;
  r.EEEEE = m.EEEEE;
  r.CCCC = m.CCCC;
  r.mensagem = m.mensagem;
  r.cod = m.cod;
  r.mensagemSEFAZ = m.mensagemSEFAZ;
  r.arquivoCFeBase64 = m.arquivoCFeBase64;
  r.timeStamp = m.timeStamp;
  r.chaveConsulta = m.chaveConsulta;
  r.valorTotalCFe = m.valorTotalCFe;
  r.CPFCNPJValue = m.CPFCNPJValue;
  r.assinaturaQRCODE = m.assinaturaQRCODE;
}

// The line the library answers a malformed sale with, shaped like the
// device's own sale answer: session|06010|1999|Erro no XML: detail||
std::string saleRefusalLine(const enviar_dados_venda_retorno_t& r) {
  using M::MessagesUtil;
  return MessagesUtil::formatSession(r.numeroSessao) + '|' + MessagesUtil::zeroFilled(r.EEEEE, 5) +
         '|' + MessagesUtil::zeroFilled(r.CCCC, 4) + '|' + r.mensagem + "||";
}

// ---- why a call gave the invalid result ------------------------------------

using Log::Reason;
using Log::ReasonKind;

// What discovery saw instead of the device.
std::string whyNoDevice(const UsbSerialDevices& finder) {
  using Log::formatText;
  if (!finder.otherProducts.empty()) {
    const port_info& other = finder.otherProducts.front();
    std::string text = formatText(
        "%s tem a identidade USB 1d6b:0104, mas o produto \"%s\", e não \"%s\"",
        other.device_path.c_str(), other.product.c_str(), kProductName);
    if (finder.otherProducts.size() > 1)
      text += formatText(" (e há mais %zu assim)", finder.otherProducts.size() - 1);
    return text;
  }
  if (finder.acmTerminals == 0) return "não há terminal ttyACM no sistema";
  if (finder.acmTerminals == 1) return "o único terminal ttyACM não tem a identidade USB 1d6b:0104";
  return formatText("nenhum dos %zu terminais ttyACM tem a identidade USB 1d6b:0104",
                    finder.acmTerminals);
}

// The kind of reason each failed exchange gives.
ReasonKind kindOf(Comm::ExchangeOutcome outcome) {
  using Comm::ExchangeOutcome;
  switch (outcome) {
    case ExchangeOutcome::WriteFailed: return ReasonKind::WriteFailed;
    case ExchangeOutcome::ReadModeFailed: return ReasonKind::SettingsRefused;
    case ExchangeOutcome::NoAnswer: return ReasonKind::NoAnswer;
    case ExchangeOutcome::HungUp: return ReasonKind::HungUp;
    case ExchangeOutcome::OverCap: return ReasonKind::OverCap;
    case ExchangeOutcome::TimedOut: return ReasonKind::TimedOut;
    case ExchangeOutcome::PortBusy: return ReasonKind::PortBusy;
    case ExchangeOutcome::Cancelled: return ReasonKind::Cancelled;
    default: return ReasonKind::Internal;
  }
}

// The reason of a failed exchange: what the channel noted, unless a channel
// that notes nothing (or something else) leaves only the outcome to go by.
Reason exchangeReason(Comm::ExchangeOutcome outcome, const std::string& port) {
  const ReasonKind kind = kindOf(outcome);
  const ReasonKind noted = Log::notedReason().kind;
  // Settings refused at open stand for whatever then failed on the port.
  if (noted == kind || noted == ReasonKind::SettingsRefused) return Log::notedReason();
  Reason reason = Reason(kind).on(port).withError(EIO);
  if (kind == ReasonKind::Cancelled) reason.saying(Comm::cancellingSetup());
  if (kind == ReasonKind::Internal) reason.saying("a troca com o equipamento falhou");
  return reason;
}

// A wait that ran out after passing over lines for another session: the
// device answered, but not this request.
template <class Response>
bool answeredAnotherSession(Comm::ExchangeOutcome outcome, const Response& response) {
  using Comm::ExchangeOutcome;
  return (outcome == ExchangeOutcome::TimedOut || outcome == ExchangeOutcome::NoAnswer) &&
         response.passedOverLines() > 0;
}

const int32_t kSaleRefusalCode = 6010;
const int32_t kSaleRefusalDetailCode = 1999;
const char kSaleRefusalPrefix[] = "Erro no XML: ";

}  // namespace

Tivax::ChannelFactory Tivax::serialTerminal() {
  return [](const std::string& port) -> std::unique_ptr<Comm::ICommChannel> {
    return std::make_unique<Comm::CommChannel>(port);
  };
}

Tivax::Tivax() : Tivax(serialTerminal(), SysfsRoots{}) {}

Tivax::Tivax(ChannelFactory f, SysfsRoots r) : factory(std::move(f)), roots(std::move(r)) {}

Tivax::~Tivax() = default;

Tivax& Tivax::instance() {
  static Tivax facade;
  g_instanceCreated.store(true, std::memory_order_relaxed);
  return facade;
}

bool Tivax::instanceCreated() { return g_instanceCreated.load(std::memory_order_relaxed); }

void Tivax::setChannelFactory(ChannelFactory f) {
  std::lock_guard<std::mutex> lock(mutex);
  factory = std::move(f);
}

void Tivax::setSysfsRoots(SysfsRoots r) {
  std::lock_guard<std::mutex> lock(mutex);
  roots = std::move(r);
}

std::string Tivax::discoverPort() const {
  UsbSerialDevices finder(kProductName, "", "", roots);
  if (finder.vendorID.empty() || finder.productID.empty() || finder.productName.empty()) return {};
  const std::string port = finder.getCommPort();
  if (port.empty()) {
    const std::string why = whyNoDevice(finder);
    Log::noteReason(Reason(ReasonKind::NoDevice).saying(why));
    if (Log::tracing()) Log::trace("discovery", "no device: " + why);
  } else if (Log::tracing()) {
    Log::trace("discovery", Log::formatText("%s (first of %zu with the USB identity and product %s)",
                                            port.c_str(), finder.ports.size(), kProductName));
  }
  return port;
}

std::string Tivax::getSATCommPort() const {
  if (!comPort.empty()) return comPort;
  return discoverPort();
}

CallOutcome Tivax::connectLocked() {
  const std::string port = getSATCommPort();
  if (port.empty()) return CallOutcome::NoDevice;
  // The new channel replaces the old one before the old one is released:
  // whatever the channel layer shares between channels must already belong
  // to the new one.
  std::unique_ptr<Comm::ICommChannel> previous = std::move(channel);
  channel = factory(port);
  channelPort = port;
  previous.reset();
  if (channel && channel->openChannel()) return CallOutcome::Answered;
  // The channel noted why; one that does not leaves the plain fact.
  const ReasonKind noted = Log::notedReason().kind;
  if (noted != ReasonKind::OpenFailed && noted != ReasonKind::PortBusy &&
      noted != ReasonKind::Cancelled)
    Log::noteReason(Reason(ReasonKind::OpenFailed).on(port).withError(EIO));
  return CallOutcome::OpenFailed;
}

bool Tivax::disconnectLocked() {
  channel.reset();
  return true;
}

CallOutcome Tivax::restartLocked() {
  disconnectLocked();
  return connectLocked();
}

template <class Work>
bool Tivax::asSetUp(Work work) {
  Comm::SetupAnnouncement announced;
  std::lock_guard<std::mutex> lock(mutex);
  // Withdrawn while the lock is still held, so that the calls queued behind
  // the set-up run as usual once it is done.
  struct WithdrawFirst {
    Comm::SetupAnnouncement& announcement;
    ~WithdrawFirst() { announcement.withdraw(); }
  } withdrawFirst{announced};
  return work();
}

bool Tivax::connect() {
  return asSetUp([this] { return connectLocked() == CallOutcome::Answered; });
}

bool Tivax::disconnect() {
  return asSetUp([this] { return disconnectLocked(); });
}

bool Tivax::restart() {
  return asSetUp([this] { return restartLocked() == CallOutcome::Answered; });
}

bool Tivax::isConnected() const {
  if (UsbSerialDevices::isConnected(kProductName, roots)) return true;
  discoverPort();  // for the reason, and the log
  return false;
}

bool Tivax::setComPort(const std::string& port) {
  return asSetUp([this, &port] {
    comPort = port;
    return restartLocked() == CallOutcome::Answered;
  });
}

template <class Tx, class Req, class Ret, class Refuse>
CallResult Tivax::run(const Req& req, Ret& ret, std::string& raw, Refuse refuse) {
  // One lock over the whole exchange: two threads' requests and answers
  // never interleave on the wire, and the channel cannot be replaced while
  // an exchange uses it.
  std::lock_guard<std::mutex> lock(mutex);
  CallResult result;
  // A set-up function is waiting for this lock: a call queued behind the
  // one it cancelled must not start a new wait ahead of it.
  if (Comm::cancelRequested()) {
    Comm::noteCancelled();
    result.outcome = CallOutcome::SetupPending;
    return result;
  }
  // A request the library refuses itself never needs the device.
  reset(ret);
  bool refused = false;
  refuse(ret, raw, refused);
  if (refused) {
    result.outcome = CallOutcome::RefusedLocally;
    return result;
  }
  // Applications that only know the standard's functions never connect
  // first: the call that finds no link opens it and goes on with its own
  // exchange.
  if (!channel || !channel->isChannelOpened()) {
    result.reconnected = true;
    if (Log::tracing()) Log::trace("reconnect", "the link is closed: opening it for this call");
    result.outcome = restartLocked();
    if (result.outcome != CallOutcome::Answered) return result;
    // Said only of a link that did open: a failed open is its own reason.
    Log::noteReconnected();
  }

  auto tx = std::make_unique<Tx>(channel.get());
  fill(tx->request, req);
  result.exchange = tx->channel->exchange(tx->request, tx->response);
  if (result.exchange != Comm::ExchangeOutcome::Answered) {
    result.outcome = CallOutcome::ExchangeFailed;
    if (answeredAnotherSession(result.exchange, tx->response))
      Log::noteReason(Reason(ReasonKind::OtherSession)
                          .counting(tx->response.passedOverSession(), req.numeroSessao));
    else
      Log::noteReason(exchangeReason(result.exchange, channelPort));
    return result;
  }
  if (!tx->validateTransaction()) {
    result.outcome = CallOutcome::Rejected;
    Log::noteReason(tx->invalidity());
    return result;
  }
  copy(tx->response, ret);
  raw = tx->response.rawResponse;
  return result;
}

template <class Tx, class Req, class Ret>
bool Tivax::run(const Req& req, Ret& ret, std::string& raw) {
  return run<Tx>(req, ret, raw, [](Ret&, std::string&, bool&) {}).succeeded();
}

bool Tivax::check_cfe(const enviar_dados_venda_t& req, std::string& detail) const {
  return check_sale_xml(req.dadosVenda, detail);
}

bool Tivax::enviarDadosVenda(const enviar_dados_venda_t& req, enviar_dados_venda_retorno_t& ret,
                             std::string& raw) {
  auto refuseMalformed = [this, &req](enviar_dados_venda_retorno_t& r, std::string& line,
                                      bool& refused) {
    std::string detail;
    if (check_cfe(req, detail)) return;
    r.numeroSessao = req.numeroSessao;
    r.EEEEE = kSaleRefusalCode;
    r.CCCC = kSaleRefusalDetailCode;
    r.mensagem = kSaleRefusalPrefix + detail;
    line = saleRefusalLine(r);
    refused = true;
    if (Log::tracing())
      Log::trace("refusal", "EnviarDadosVenda " + line.substr(0, line.find('|')) +
                                " 06010, not sent: " + Log::quoted(r.mensagem));
  };
  return run<Transactions::EnviarDadosVenda>(req, ret, raw, refuseMalformed).succeeded();
}

bool Tivax::ativarSAT(const ativar_sat_t& req, ativar_sat_retorno_t& ret, std::string& raw) {
  return run<Transactions::AtivarSAT>(req, ret, raw);
}
bool Tivax::comunicarCertificadoICPBRASIL(const comunicar_certificado_icpbrasil_t& req,
                                          comunicar_certificado_icpbrasil_retorno_t& ret,
                                          std::string& raw) {
  return run<Transactions::ComunicarCertificadoICPBRASIL>(req, ret, raw);
}
bool Tivax::cancelarUltimaVenda(const cancelar_ultima_venda_t& req,
                                cancelar_ultima_venda_retorno_t& ret, std::string& raw) {
  return run<Transactions::CancelarUltimaVenda>(req, ret, raw);
}
bool Tivax::consultarSAT(const consultar_sat_t& req, consultar_sat_retorno_t& ret,
                         std::string& raw) {
  return run<Transactions::ConsultarSAT>(req, ret, raw);
}
bool Tivax::testeFimAFim(const teste_fim_a_fim_t& req, teste_fim_a_fim_retorno_t& ret,
                         std::string& raw) {
  return run<Transactions::TesteFimAFim>(req, ret, raw);
}
bool Tivax::consultarStatusOperacional(const consultar_status_operacional_t& req,
                                       consultar_status_operacional_retorno_t& ret,
                                       std::string& raw) {
  return run<Transactions::ConsultarStatusOperacional>(req, ret, raw);
}
bool Tivax::consultarNumeroSessao(const consultar_numero_sessao_t& req,
                                  consultar_numero_sessao_retorno_t& ret, std::string& raw) {
  return run<Transactions::ConsultarNumeroSessao>(req, ret, raw);
}
bool Tivax::configurarInterfaceDeRede(const configurar_interface_rede_t& req,
                                      configurar_interface_rede_retorno_t& ret,
                                      std::string& raw) {
  return run<Transactions::ConfigurarInterfaceDeRede>(req, ret, raw);
}
bool Tivax::associarAssinatura(const associar_assinatura_t& req,
                               associar_assinatura_retorno_t& ret, std::string& raw) {
  return run<Transactions::AssociarAssinatura>(req, ret, raw);
}
bool Tivax::atualizarSoftwareSAT(const atualizar_software_t& req,
                                 atualizar_software_retorno_t& ret, std::string& raw) {
  return run<Transactions::AtualizarSoftwareSAT>(req, ret, raw);
}
bool Tivax::extrairLogs(const extrair_log_t& req, extrair_log_retorno_t& ret, std::string& raw) {
  return run<Transactions::ExtrairLogs>(req, ret, raw);
}
bool Tivax::bloquearSAT(const bloquear_sat_t& req, bloquear_sat_retorno_t& ret,
                        std::string& raw) {
  return run<Transactions::BloquearSAT>(req, ret, raw);
}
bool Tivax::desbloquearSAT(const desbloquear_sat_t& req, desbloquear_sat_retorno_t& ret,
                           std::string& raw) {
  return run<Transactions::DesbloquearSAT>(req, ret, raw);
}
bool Tivax::trocarCodigoDeAtivacao(const trocar_codigo_ativacao_t& req,
                                   trocar_codigo_ativacao_retorno_t& ret, std::string& raw) {
  return run<Transactions::TrocarCodigoDeAtivacao>(req, ret, raw);
}
bool Tivax::consultarUltimaSessaoFiscal(const consultar_ultima_sessao_fiscal_t& req,
                                        consultar_ultima_sessao_fiscal_retorno_t& ret,
                                        std::string& raw) {
  return run<Transactions::ConsultarUltimaSessaoFiscal>(req, ret, raw);
}

}  // namespace Tivaxlib
