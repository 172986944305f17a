#include "core/tivax.h"

#include <atomic>
#include <utility>

#include "cfe/sale_check.h"
#include "comm/unix_comm_channel.h"
#include "comm/waits.h"
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

std::string Tivax::getSATCommPort() const {
  if (!comPort.empty()) return comPort;
  UsbSerialDevices finder(kProductName, "", "", roots);
  if (finder.vendorID.empty() || finder.productID.empty() || finder.productName.empty()) return {};
  return finder.getCommPort();
}

CallOutcome Tivax::connectLocked() {
  const std::string port = getSATCommPort();
  if (port.empty()) return CallOutcome::NoDevice;
  // The new channel replaces the old one before the old one is released:
  // whatever the channel layer shares between channels must already belong
  // to the new one.
  std::unique_ptr<Comm::ICommChannel> previous = std::move(channel);
  channel = factory(port);
  previous.reset();
  return channel && channel->openChannel() ? CallOutcome::Answered : CallOutcome::OpenFailed;
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

bool Tivax::isConnected() const { return UsbSerialDevices::isConnected(kProductName, roots); }

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
    result.outcome = CallOutcome::SetupPending;
    return result;
  }
  // Applications that only know the standard's functions never connect
  // first: the call that finds no link opens it and goes on with its own
  // exchange.
  if (!channel || !channel->isChannelOpened()) {
    result.reconnected = true;
    result.outcome = restartLocked();
    if (result.outcome != CallOutcome::Answered) return result;
  }
  reset(ret);
  bool refused = false;
  refuse(ret, raw, refused);
  if (refused) {
    result.outcome = CallOutcome::RefusedLocally;
    return result;
  }

  auto tx = std::make_unique<Tx>(channel.get());
  fill(tx->request, req);
  result.exchange = tx->channel->exchange(tx->request, tx->response);
  if (result.exchange != Comm::ExchangeOutcome::Answered) {
    result.outcome = CallOutcome::ExchangeFailed;
    return result;
  }
  if (!tx->validateTransaction()) {
    result.outcome = CallOutcome::Rejected;
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
