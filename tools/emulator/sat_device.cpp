// SPDX-License-Identifier: MIT
#include "sat_device.h"

#include <cstdio>
#include <limits>
#include <pugixml.hpp>
#include <random>
#include <utility>

#include "base64.h"
#include "cancellation_rules.h"
#include "check_digits.h"
#include "fixed_point.h"
#include "result_codes.h"
#include "signer.h"

namespace tivaxemu {

// One row per function number. The result codes are the function number
// plus 4 followed by three digits: 000 success, 001 wrong activation code,
// 098 busy, 099 a request the device cannot read, others per function.
struct SatDevice::Function {
  const char* name;
  std::size_t params;  // parameters after the session number
  int codeParam;       // index of the activation code among them; -1: none
  bool fiscal;         // sale-shaped answer (CCCC after EEEEE)
  // The detail a device that is not activated answers with; -1: the
  // function works before activation.
  int notActivated;
  Reply (SatDevice::*handler)(const Request&);
};

const SatDevice::Function SatDevice::kFunctions[16] = {
    {"AtivarSAT", 4, 1, false, -1, &SatDevice::ativarSAT},
    {"ComunicarCertificadoICPBRASIL", 2, 0, false, -1, &SatDevice::comunicarCertificado},
    {"EnviarDadosVenda", 2, 0, true, 2, &SatDevice::enviarDadosVenda},
    {"CancelarUltimaVenda", 3, 0, true, 2, &SatDevice::cancelarUltimaVenda},
    {"ConsultarSAT", 0, -1, false, -1, &SatDevice::consultarSAT},
    {"TesteFimAFim", 2, 0, false, 2, &SatDevice::testeFimAFim},
    {"ConsultarStatusOperacional", 1, 0, false, -1, &SatDevice::consultarStatusOperacional},
    {"ConsultarNumeroSessao", 2, 0, false, 2, &SatDevice::consultarNumeroSessao},
    {"ConfigurarInterfaceDeRede", 2, 0, false, -1, &SatDevice::configurarInterfaceDeRede},
    {"AssociarAssinatura", 3, 0, false, 99, &SatDevice::associarAssinatura},
    {"AtualizarSoftwareSAT", 1, 0, false, -1, &SatDevice::atualizarSoftware},
    {"ExtrairLogs", 1, 0, false, -1, &SatDevice::extrairLogs},
    {"BloquearSAT", 1, 0, false, 99, &SatDevice::bloquearSAT},
    {"DesbloquearSAT", 1, 0, false, 99, &SatDevice::desbloquearSAT},
    {"TrocarCodigoDeAtivacao", 4, 0, false, 99, &SatDevice::trocarCodigo},
    {"ConsultarUltimaSessaoFiscal", 1, 0, false, 2, &SatDevice::consultarUltimaSessaoFiscal},
};

namespace {

const int kAtivarSAT = 0;
const int kEnviarDadosVenda = 2;
const int kConsultarNumeroSessao = 7;
const int kTrocarCodigo = 14;

const char kNoKey[] = "00000000000000000000000000000000000000000000";
const char kNoTime[] = "00000000000000";
// The device keeps Brasília time (UTC-3, no daylight saving).
const std::time_t kLocalOffset = -3 * 3600;

Reply reply(int detail, std::string message) {
  Reply r;
  r.detail = detail;
  r.message = std::move(message);
  return r;
}

Rejection malformed() {
  return rejection(1999, "XML", "erro não identificado: XML mal formado");
}

Reply refusalFor(int detail, const Rejection& why) {
  Reply r = reply(detail, why.message());
  r.cccc = std::to_string(why.code);
  r.note = "regra " + std::to_string(why.code) + " (" + why.rule + ")" +
           (why.element.empty() ? std::string() : ": " + why.element);
  return r;
}

// A field never carries the separator or a line end.
std::string field(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '|' && c != '\n' && c != '\r') out += c;
  return out;
}

std::string zeroFilled(std::int64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

std::string buyerOf(const pugi::xml_node& dest) {
  return dest.child("CPF") ? dest.child_value("CPF") : dest.child_value("CNPJ");
}

}  // namespace

SatDevice::SatDevice(std::string activationCode, Clock c) : SatDevice(DeviceSettings(), std::move(c)) {
  state.activationCode = std::move(activationCode);
  settings.maxWrongCodes = 0;
}

SatDevice::SatDevice(DeviceSettings s, Clock c)
    : settings(std::move(s)), builtIn(settings.statePath.empty()), clock(std::move(c)) {
  if (!clock) clock = [] { return std::time(nullptr); };
  state.emergencyCode = settings.emergencyCode;
  state.stateRegistration = settings.stateRegistration;
  if (builtIn) {
    state.activated = true;
    state.activationCode = settings.activationCode;
  }
}

bool SatDevice::open(std::string& error) {
  if (!builtIn && !loadState(settings.statePath, state, error)) return false;
  if (builtIn) {
    state.key = processDeviceKey();
  } else if (state.key.empty()) {
    state.key = makeDeviceKey(settings.parametrisation.serial);
  }
  if (state.key.empty()) {
    error = "não foi possível gerar a chave do equipamento";
    return false;
  }
  if (!builtIn && !saveState(settings.statePath, state, error)) return false;
  return true;
}

SatDevice::Answer SatDevice::handle(const std::string& line, bool truncated) {
  if (state.key.empty()) state.key = processDeviceKey();
  Answer answer;
  Request request;
  const ParseResult parsed = parseRequest(line, request);
  if (parsed == ParseResult::kUnreadable) return answer;
  answer.answered = true;
  answer.session = request.session;
  if (parsed == ParseResult::kUnknownFunction) {
    answer.line = formatSession(request.session) + "|99999|Função desconhecida||";
    log(request.session, "?", "99999");
    save();
    return answer;
  }

  const Function& function = kFunctions[request.function];
  Reply result;
  if (truncated)
    result = reply(99, "Requisição excede o tamanho máximo");
  else if (request.params.size() != function.params)
    result = reply(99, "Quantidade de parâmetros inválida");
  else if (gate(request.function, request, result))
    result = (this->*function.handler)(request);

  answer.line = result.verbatim.empty() ? format(request.function, request.session, result)
                                        : result.verbatim;
  answer.note = result.note;
  // Only the immediately preceding session can be consulted, and never a
  // consultation itself.
  if (request.function != kConsultarNumeroSessao) {
    state.havePrevious = true;
    state.previousSession = request.session;
    state.previousAnswer = answer.line;
  }
  if (function.fiscal && result.detail == 0) state.lastFiscalAnswer = answer.line;
  const std::size_t codeAt = answer.line.find('|');
  log(request.session, function.name,
      codeAt == std::string::npos ? std::string() : answer.line.substr(codeAt + 1, 5));
  save();
  return answer;
}

bool SatDevice::gate(int id, const Request& r, Reply& refusal) {
  const Function& function = kFunctions[id];
  if (state.busyCalls > 0) {
    --state.busyCalls;
    refusal = reply(98, "SAT em processamento. Tente novamente.");
    return false;
  }
  if (id == kAtivarSAT || function.codeParam < 0) return true;
  if (!state.activated) {
    if (function.notActivated < 0) return true;
    refusal = reply(function.notActivated, "SAT ainda não ativado");
    return false;
  }
  // TrocarCodigoDeAtivacao with opcao 2 carries the emergency code.
  if (id == kTrocarCodigo && r.params[1] == "2") {
    if (r.params[0] == state.emergencyCode) return true;
    refusal = reply(2, "Código de emergência inválido");
    return false;
  }
  if (r.params[function.codeParam] == state.activationCode) {
    state.wrongCodes = 0;
    return true;
  }
  // A run of wrong codes locks the device until the code is changed with
  // the emergency code.
  if (++state.wrongCodes >= settings.maxWrongCodes && settings.maxWrongCodes > 0)
    state.lockedOut = true;
  refusal = reply(1, "Código de ativação inválido");
  return false;
}

std::string SatDevice::format(int function, std::int32_t session, const Reply& r) const {
  char eeeee[16];
  std::snprintf(eeeee, sizeof eeeee, "%05d", resultCode(function, r.detail));
  std::string line = formatSession(session) + "|" + eeeee;
  if (kFunctions[function].fiscal) line += "|" + field(r.cccc);
  line += "|" + field(r.message) + "|" + field(r.cod) + "|" + field(r.mensagemSEFAZ);
  for (const std::string& extra : r.tail) line += "|" + field(extra);
  return line;
}

std::time_t SatDevice::now() const {
  const std::time_t host = clock();
  const std::int64_t offset = state.clockOffset;
  if ((offset > 0 && host > std::numeric_limits<std::time_t>::max() - offset) ||
      (offset < 0 && host < std::numeric_limits<std::time_t>::min() - offset))
    return host;
  return host + offset;
}

std::string SatDevice::timestamp() const {
  const std::time_t t = now();
  const std::time_t local =
      t < std::numeric_limits<std::time_t>::min() - kLocalOffset ? t : t + kLocalOffset;
  std::tm parts{};
  char text[32];
  if (!gmtime_r(&local, &parts) || parts.tm_year < 0 || parts.tm_year > 8000 ||
      std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts) != 14)
    return kNoTime;
  return text;
}

// The built-in device derives cNF from the number, so that its keys are the
// same run after run; a device with a state draws it at random.
DocumentStamp SatDevice::stamp(std::int64_t number) {
  DocumentStamp s;
  const std::string when = timestamp();
  s.nCFe = number;
  s.dEmi = when.substr(0, 8);
  s.hEmi = when.substr(8);
  if (builtIn) {
    s.cNF = static_cast<int>((number * 7919 + 104729) % 1000000);
  } else {
    std::random_device random;
    s.cNF = static_cast<int>(random() % 1000000);
  }
  return s;
}

void SatDevice::issued(const std::string& key, const std::string& when) {
  if (state.firstKey.empty()) state.firstKey = key;
  state.lastKey = key;
  state.lastDocumentTime = when;
  state.lastDocumentAt = now();
}

void SatDevice::log(std::int32_t session, const char* function, const std::string& result) {
  state.log.push_back(timestamp() + " sessão " + formatSession(session) + " " + function + ": " +
                      result);
  while (state.log.size() > kLogLines) state.log.pop_front();
}

void SatDevice::save() {
  if (builtIn) return;
  std::string error;
  if (!saveState(settings.statePath, state, error)) lastSaveError = error;
}

bool SatDevice::control(const std::string& command, std::string& outcome) {
  const std::size_t space = command.find(' ');
  const std::string verb = command.substr(0, space);
  const std::string value = space == std::string::npos ? "" : command.substr(space + 1);
  const struct {
    const char* name;
    bool DeviceState::*flag;
    const char* on;
    const char* off;
  } switches[] = {
      {"bloqueio-sefaz", &DeviceState::blockedBySefaz, "SAT bloqueado pela SEFAZ",
       "bloqueio da SEFAZ retirado"},
      {"bloqueio-autonomo", &DeviceState::autonomousBlock,
       "SAT bloqueado por falta de comunicação", "bloqueio autônomo retirado"},
      {"atualizacao-pendente", &DeviceState::pendingUpdate, "atualização de software pendente",
       "nenhuma atualização pendente"},
  };
  for (const auto& s : switches) {
    if (verb != s.name) continue;
    if (value != "on" && value != "off") {
      outcome = std::string(s.name) + " espera on ou off";
      return false;
    }
    state.*s.flag = value == "on";
    outcome = value == "on" ? s.on : s.off;
    save();
    return true;
  }
  int n = 0;
  const bool negative = !value.empty() && value[0] == '-';
  if ((verb == "ocupado" || verb == "relogio") &&
      parseInt(negative ? value.substr(1) : value, n)) {
    if (verb == "ocupado" && !negative) {
      state.busyCalls = n;
      outcome = "as próximas " + std::to_string(n) + " chamadas respondem em processamento";
    } else if (verb == "relogio") {
      state.clockOffset = static_cast<std::int64_t>(negative ? -n : n) * 60;
      outcome = "relógio do SAT: " + timestamp();
    } else {
      outcome = "ocupado espera um número de chamadas";
      return false;
    }
    save();
    return true;
  }
  outcome = "comando desconhecido: " + command;
  return false;
}

// ---- sales ------------------------------------------------------------------

// The blocks refuse sales with 06006-06009 and cancellations with
// 07003-07006.
bool SatDevice::blockedFor(bool sale, Reply& refusal) const {
  const struct {
    bool DeviceState::*flag;
    int saleDetail, cancelDetail;
    const char* message;
  } blocks[] = {
      {&DeviceState::blockedByTaxpayer, 6, 3, "SAT bloqueado pelo contribuinte"},
      {&DeviceState::blockedBySefaz, 7, 4, "SAT bloqueado pela SEFAZ"},
      {&DeviceState::autonomousBlock, 8, 5, "SAT bloqueado por falta de comunicação"},
      {&DeviceState::lockedOut, 9, 6, "SAT bloqueado por códigos de ativação errados"},
  };
  for (const auto& b : blocks)
    if (state.*b.flag) {
      refusal = reply(sale ? b.saleDetail : b.cancelDetail, b.message);
      return true;
    }
  return false;
}

bool SatDevice::judge(const std::string& xml, bool fiscal, pugi::xml_document& document,
                      SaleFigures& figures, Reply& refusal) {
  const bool parsed = document.load_buffer(xml.data(), xml.size(), pugi::parse_default,
                                           pugi::encoding_utf8) &&
                      document.document_element();
  const pugi::xml_node ide = document.document_element().child("infCFe").child("ide");
  if (fiscal && !builtIn) {
    if (state.softwareHouseCnpj.empty()) {
      refusal = reply(3, "SAT sem assinatura do aplicativo comercial associada");
      return false;
    }
    if (parsed && (state.softwareHouseCnpj != ide.child_value("CNPJ") ||
                   state.signAC != ide.child_value("signAC"))) {
      refusal = reply(4, "Assinatura do aplicativo comercial não confere com a associada");
      refusal.note = "ide/CNPJ ou ide/signAC diferem da associação";
      return false;
    }
  }
  if (xml.size() > kMaxSaleBytes) {
    refusal = reply(5, "Venda excede o tamanho máximo de 1500 KB");
    return false;
  }
  const int rejected = fiscal ? 10 : 99;
  if (!parsed) {
    refusal = refusalFor(rejected, malformed());
    return false;
  }
  SaleContext context;
  if (!builtIn) {
    context.taxpayerCnpj = state.taxpayerCnpj;
    context.stateRegistration = state.stateRegistration;
  } else {
    context.stateRegistration = settings.stateRegistration;
  }
  context.clockBehind = !state.lastKey.empty() && now() < state.lastDocumentAt;
  const Rejection verdict = judgeSale(document.document_element(), context, figures);
  if (verdict.code == 0) return true;
  refusal = refusalFor(rejected, verdict);
  return false;
}

Reply SatDevice::issueSale(const pugi::xml_document& document, const SaleFigures& figures,
                           bool test) {
  const pugi::xml_node input = document.document_element();
  const pugi::xml_node info = input.child("infCFe");
  const std::string cnpj = info.child("emit").child_value("CNPJ");
  const std::string buyer = buyerOf(info.child("dest"));
  const std::int64_t number = test ? 0 : state.documentNumber + 1;
  const DocumentStamp when = stamp(number);
  const std::string key = accessKey(settings.parametrisation, cnpj, when);
  const std::string total = formatFixed(figures.vCFe, 2);
  const std::string qrSignature =
      signText(state.key, qrCodeData(key, when, total, buyer));
  std::string error;
  const std::string signedCfe = signDocument(
      state.key, saleCfe(input, figures, settings.parametrisation, when, key, qrSignature),
      &error);
  if (signedCfe.empty() || qrSignature.empty()) return reply(99, "Erro ao assinar o CF-e: " + error);
  const std::string timeStamp = when.dEmi + when.hEmi;
  if (test) {
    Reply result = reply(0, "Emitido com sucesso");
    result.tail = {base64Encode(signedCfe), timeStamp, zeroFilled(0, 6), "CFe" + key};
    return result;
  }
  state.documentNumber = number;
  issued(key, timeStamp);
  const pugi::xml_node emit = info.child("emit");
  state.lastSale = LastSale{key,   cnpj,      emit.child_value("IE"), emit.child_value("IM"),
                            buyer, total,     when.dEmi,              when.hEmi,
                            now(), false};
  state.haveSale = true;
  if (!builtIn && state.stateRegistration.empty())
    state.stateRegistration = emit.child_value("IE");

  Reply result = reply(0, "Emitido com sucesso + conteúdo notas.");
  if (std::string(info.attribute("versaoDadosEnt").value()) != kSaleLayouts[1]) {
    result.cod = "1005";
    result.mensagemSEFAZ = "Alerta: leiaute aceito, mas não é o vigente";
  }
  result.tail = {base64Encode(signedCfe), timeStamp, "CFe" + key, total, buyer, qrSignature};
  return result;
}

Reply SatDevice::enviarDadosVenda(const Request& r) {
  Reply refusal;
  if (blockedFor(true, refusal)) return refusal;
  pugi::xml_document document;
  SaleFigures figures;
  if (!judge(r.params[1], true, document, figures, refusal)) return refusal;
  return issueSale(document, figures, false);
}

Reply SatDevice::testeFimAFim(const Request& r) {
  pugi::xml_document document;
  SaleFigures figures;
  Reply refusal;
  if (!judge(r.params[1], false, document, figures, refusal)) return refusal;
  return issueSale(document, figures, true);
}

Reply SatDevice::cancelarUltimaVenda(const Request& r) {
  Reply refusal;
  if (blockedFor(false, refusal)) return refusal;
  const std::string& xml = r.params[2];
  if (xml.size() > kMaxSaleBytes) return reply(99, "Cancelamento excede o tamanho máximo");
  pugi::xml_document document;
  const bool parsed = document.load_buffer(xml.data(), xml.size(), pugi::parse_default,
                                           pugi::encoding_utf8) &&
                      document.document_element();
  CancellationContext context;
  context.haveSale = state.haveSale;
  context.sale = state.lastSale;
  context.now = now();
  context.clockBehind = !state.lastKey.empty() && context.now < state.lastDocumentAt;
  Rejection verdict;
  if (!parsed) {
    verdict = malformed();
  } else {
    verdict = judgeCancellation(r.params[1], document.document_element(), context);
  }
  if (verdict.code != 0) return refusalFor(7, verdict);

  const std::int64_t number = state.documentNumber + 1;
  const DocumentStamp when = stamp(number);
  const LastSale& sale = state.lastSale;
  const std::string key = accessKey(settings.parametrisation, sale.emitterCnpj, when);
  const std::string qrSignature = signText(state.key, qrCodeData(key, when, sale.total, sale.buyer));
  CancelledSale cancelled{sale.key,  sale.emitterCnpj, sale.emitterIe, sale.emitterIm,
                          sale.buyer, sale.total,      sale.dEmi,      sale.hEmi};
  std::string error;
  const std::string signedCfe = signDocument(
      state.key,
      cancellationCfe(document.document_element(), cancelled, settings.parametrisation, when, key,
                      qrSignature),
      &error);
  if (signedCfe.empty() || qrSignature.empty())
    return reply(99, "Erro ao assinar o CF-e de cancelamento: " + error);
  const std::string timeStamp = when.dEmi + when.hEmi;
  state.documentNumber = number;
  issued(key, timeStamp);
  state.lastSale.cancelled = true;

  Reply result = reply(0, "Cupom cancelado com sucesso + conteúdo CF-e-SAT cancelado.");
  result.tail = {base64Encode(signedCfe), timeStamp, "CFe" + key, sale.total, sale.buyer,
                 qrSignature};
  return result;
}

// ---- the other functions ------------------------------------------------------

Reply SatDevice::ativarSAT(const Request& r) {
  int subComando = 0;
  if (!parseInt(r.params[0], subComando) || subComando < 1 || subComando > 3)
    return reply(99, "Subcomando inválido");
  const std::string& code = r.params[1];
  const std::string& cnpj = r.params[2];
  if (state.activated) {
    if (code != state.activationCode) return reply(1, "Código de ativação inválido");
    if (!builtIn) return reply(3, "SAT já ativado");
  } else {
    if (code.size() < 8 || code.size() > 32)
      return reply(99, "Código de ativação deve ter de 8 a 32 caracteres");
    if (!validCnpj(cnpj)) return reply(2, "SEFAZ não reconhece este SAT (CNPJ inválido)");
    int uf = 0;
    if (!parseInt(r.params[3], uf) || uf < 11 || uf > 53) return reply(99, "Código da UF inválido");
    state.activated = true;
    state.activationCode = code;
    state.taxpayerCnpj = cnpj;
    state.cUF = zeroFilled(uf, 2);
  }
  // Every activation answers with the device's certificate request; with an
  // ICP-Brasil certificate it is the one the taxpayer has signed.
  Reply activated =
      reply(0, subComando == 1 ? "Ativado corretamente" : "CSR ICP-BRASIL criado com sucesso");
  activated.tail.push_back(
      base64Encode("CSR " + settings.parametrisation.serial + " " + cnpj));
  return activated;
}

Reply SatDevice::comunicarCertificado(const Request& r) {
  if (r.params[1].empty()) return reply(3, "Certificado inválido");
  return reply(0, "Certificado transmitido com sucesso");
}

Reply SatDevice::consultarSAT(const Request&) { return reply(0, "SAT em operação"); }

Reply SatDevice::consultarStatusOperacional(const Request&) {
  const std::string nowText = timestamp();
  // ESTADO_OPERACAO: 0 unblocked, 1 blocked by SEFAZ, 2 by the taxpayer,
  // 3 autonomous block.
  const char* operation = state.blockedBySefaz      ? "1"
                          : state.blockedByTaxpayer ? "2"
                          : (state.autonomousBlock || state.lockedOut) ? "3"
                                                                      : "0";
  Reply result = reply(0, "Resposta com Sucesso.");
  result.tail = {settings.parametrisation.serial,
                 state.network.type,
                 state.network.ip,
                 "00:1a:2b:3c:4d:5e",
                 state.network.mask,
                 state.network.gateway,
                 state.network.dns1,
                 state.network.dns2,
                 "CONECTADO",
                 "ALTO",
                 "4 GB",
                 std::to_string(state.lastFiscalAnswer.size() / 1024) + " KB",
                 nowText,
                 settings.parametrisation.versaoSB,
                 "00.07",
                 state.lastKey.empty() ? kNoKey : state.lastKey,
                 state.firstKey.empty() ? kNoKey : state.firstKey,
                 state.lastKey.empty() ? kNoKey : state.lastKey,
                 state.lastDocumentTime.empty() ? kNoTime : state.lastDocumentTime,
                 nowText,
                 "20240101",
                 "20290101",
                 operation};
  return result;
}

Reply SatDevice::consultarNumeroSessao(const Request& r) {
  int asked = 0;
  if (!parseInt(r.params[1], asked)) return reply(99, "Número de sessão inválido");
  if (!state.havePrevious || state.previousSession != asked) {
    Reply none = reply(3, "Sessão não existe");
    none.note = "só a sessão imediatamente anterior pode ser consultada";
    return none;
  }
  Reply replay;
  replay.verbatim = state.previousAnswer;
  return replay;
}

Reply SatDevice::configurarInterfaceDeRede(const Request& r) {
  pugi::xml_document document;
  const std::string& text = r.params[1];
  if (!document.load_buffer(text.data(), text.size()) || !document.child("config"))
    return reply(2, "Dados de configuração inválidos");
  const pugi::xml_node config = document.child("config");
  // Each element given replaces the current setting; the rest stay.
  const std::pair<const char*, std::string NetworkSettings::*> settingsOf[] = {
      {"tipoLan", &NetworkSettings::type},     {"lanIP", &NetworkSettings::ip},
      {"lanMask", &NetworkSettings::mask},     {"lanGW", &NetworkSettings::gateway},
      {"lanDNS1", &NetworkSettings::dns1},     {"lanDNS2", &NetworkSettings::dns2},
  };
  for (const auto& setting : settingsOf) {
    const pugi::xml_node node = config.child(setting.first);
    if (node) state.network.*setting.second = field(node.text().get());
  }
  return reply(0, "Rede Configurada com Sucesso");
}

// CNPJvalue is the software house's CNPJ followed by the taxpayer's; the
// device cannot check the RSA signature offline, only its form.
Reply SatDevice::associarAssinatura(const Request& r) {
  if (builtIn) return reply(0, "Assinatura do AC Registrada");
  const std::string& pair = r.params[1];
  const std::string& signature = r.params[2];
  if (pair.size() != 28 || !validCnpj(pair.substr(0, 14)) || !validCnpj(pair.substr(14)) ||
      signature.size() != 344)
    return reply(3, "Assinatura fora do padrão (CNPJvalue com 28 dígitos e assinatura com 344 "
                    "caracteres)");
  if (pair.substr(14) != state.taxpayerCnpj)
    return reply(4, "CNPJs assinados diferem do CNPJ do contribuinte ativado");
  state.softwareHouseCnpj = pair.substr(0, 14);
  state.signAC = signature;
  return reply(0, "Assinatura do AC Registrada");
}

Reply SatDevice::atualizarSoftware(const Request&) {
  if (state.pendingUpdate) {
    state.pendingUpdate = false;
    return reply(0, "Software Atualizado com Sucesso");
  }
  return reply(0, "Software Atualizado com Sucesso");
}

Reply SatDevice::extrairLogs(const Request&) {
  std::string text;
  for (const std::string& line : state.log) text += line + "\n";
  Reply result = reply(0, "Transferência completa");
  result.tail.push_back(base64Encode(text));
  return result;
}

Reply SatDevice::bloquearSAT(const Request&) {
  if (blocked()) return reply(2, "SAT já bloqueado");
  state.blockedByTaxpayer = true;
  return reply(0, "Equipamento SAT bloqueado com sucesso.");
}

Reply SatDevice::desbloquearSAT(const Request&) {
  if (state.blockedBySefaz) return reply(3, "SAT bloqueado pela SEFAZ");
  if (state.autonomousBlock) return reply(6, "SAT com bloqueio autônomo");
  if (!state.blockedByTaxpayer) return reply(5, "SAT já desbloqueado");
  state.blockedByTaxpayer = false;
  return reply(0, "Equipamento SAT desbloqueado com sucesso.");
}

Reply SatDevice::trocarCodigo(const Request& r) {
  int opcao = 0;
  if (!parseInt(r.params[1], opcao) || opcao < 1 || opcao > 2)
    return reply(99, "Opção inválida");
  const std::string& novo = r.params[2];
  if (novo.size() < 8 || novo.size() > 32 || novo != r.params[3])
    return reply(99, "Confirmação do novo código de ativação não confere");
  state.activationCode = novo;
  state.wrongCodes = 0;
  // Only the emergency code lifts the lock a run of wrong codes set.
  if (opcao == 2) state.lockedOut = false;
  return reply(0, "Código de ativação alterado com sucesso.");
}

Reply SatDevice::consultarUltimaSessaoFiscal(const Request&) {
  if (state.lastFiscalAnswer.empty()) return reply(3, "Nenhuma sessão fiscal registrada");
  Reply replay;
  replay.verbatim = state.lastFiscalAnswer;
  return replay;
}

}  // namespace tivaxemu
