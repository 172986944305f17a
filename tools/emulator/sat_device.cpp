// SPDX-License-Identifier: MIT
#include "sat_device.h"

#include <cstdio>
#include <limits>
#include <pugixml.hpp>
#include <utility>

#include "base64.h"
#include "result_codes.h"
#include "sale_summary.h"

namespace tivaxemu {

// One row per function number. The result codes are the function number
// plus 4 followed by three digits: 000 success, 001 wrong activation code,
// 099 a request the device cannot read, others per function.
struct SatDevice::Function {
  const char* name;
  std::size_t params;  // parameters after the session number
  int codeParam;       // index of the activation code among them; -1: none
  bool fiscal;         // sale-shaped answer (CCCC after EEEEE)
  Reply (SatDevice::*handler)(const Request&);
};

const SatDevice::Function SatDevice::kFunctions[16] = {
    {"AtivarSAT", 4, 1, false, &SatDevice::ativarSAT},
    {"ComunicarCertificadoICPBRASIL", 2, 0, false, &SatDevice::comunicarCertificado},
    {"EnviarDadosVenda", 2, 0, true, &SatDevice::enviarDadosVenda},
    {"CancelarUltimaVenda", 3, 0, true, &SatDevice::cancelarUltimaVenda},
    {"ConsultarSAT", 0, -1, false, &SatDevice::consultarSAT},
    {"TesteFimAFim", 2, 0, false, &SatDevice::testeFimAFim},
    {"ConsultarStatusOperacional", 1, 0, false, &SatDevice::consultarStatusOperacional},
    {"ConsultarNumeroSessao", 2, 0, false, &SatDevice::consultarNumeroSessao},
    {"ConfigurarInterfaceDeRede", 2, 0, false, &SatDevice::configurarInterfaceDeRede},
    {"AssociarAssinatura", 3, 0, false, &SatDevice::associarAssinatura},
    {"AtualizarSoftwareSAT", 1, 0, false, &SatDevice::atualizarSoftware},
    {"ExtrairLogs", 1, 0, false, &SatDevice::extrairLogs},
    {"BloquearSAT", 1, 0, false, &SatDevice::bloquearSAT},
    {"DesbloquearSAT", 1, 0, false, &SatDevice::desbloquearSAT},
    {"TrocarCodigoDeAtivacao", 4, 0, false, &SatDevice::trocarCodigo},
    {"ConsultarUltimaSessaoFiscal", 1, 0, false, &SatDevice::consultarUltimaSessaoFiscal},
};

namespace {

const int kConsultarNumeroSessao = 7;
const int kConsultarUltimaSessaoFiscal = 15;

const char kSerialNumber[] = "900004019";
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

// Modulo-11 check digit of an access key: weights 2 to 9 from the right.
char checkDigit(const std::string& digits) {
  int sum = 0, weight = 2;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    sum += (*it - '0') * weight;
    weight = weight == 9 ? 2 : weight + 1;
  }
  const int rest = sum % 11;
  return static_cast<char>('0' + (rest < 2 ? 0 : 11 - rest));
}

// 256 bytes that stand for the signature over a key, stable per key.
std::string pseudoSignature(const std::string& text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  std::string bytes(256, '\0');
  for (char& b : bytes) {
    h ^= h << 13;
    h ^= h >> 7;
    h ^= h << 17;
    b = static_cast<char>(h & 0xff);
  }
  return base64Encode(bytes);
}

// The signed document: the device's own fields, and from the sale its
// checkout, items and payments (`sale`; none for a cancellation).
std::string cfeDocument(const std::string& key, const std::string& when,
                        const std::string& cnpj, const std::string& buyer,
                        const std::string& total, const char* root,
                        const std::string& cancelledKey, const SaleSummary* sale = nullptr) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><";
  xml += root;
  xml += "><infCFe Id=\"CFe" + key + "\" versao=\"0.07\"";
  if (!cancelledKey.empty()) xml += " chCanc=\"CFe" + cancelledKey + "\"";
  xml += "><ide><cUF>35</cUF><mod>59</mod><nserieSAT>";
  xml += kSerialNumber;
  xml += "</nserieSAT><nCFe>" + key.substr(31, 6) + "</nCFe><dEmi>" + when.substr(0, 8) +
         "</dEmi><hEmi>" + when.substr(8) + "</hEmi>" + (sale ? sale->checkoutXml : "") +
         "</ide><emit><CNPJ>" + cnpj + "</CNPJ></emit><dest>";
  if (buyer.size() == 11) xml += "<CPF>" + buyer + "</CPF>";
  if (buyer.size() == 14) xml += "<CNPJ>" + buyer + "</CNPJ>";
  xml += "</dest>" + (sale ? sale->contentXml : "") + "<total><vCFe>" + total + "</vCFe></total></infCFe></";
  xml += root;
  xml += ">";
  return xml;
}

}  // namespace

SatDevice::SatDevice(std::string activationCode, Clock c)
    : code(std::move(activationCode)), clock(std::move(c)) {
  if (!clock) clock = [] { return std::time(nullptr); };
}

SatDevice::Answer SatDevice::handle(const std::string& line, bool truncated) {
  Answer answer;
  Request request;
  const ParseResult parsed = parseRequest(line, request);
  if (parsed == ParseResult::kUnreadable) return answer;
  answer.answered = true;
  answer.session = request.session;
  if (parsed == ParseResult::kUnknownFunction) {
    answer.line = formatSession(request.session) + "|99999|Função desconhecida||";
    log(request.session, "?", "99999");
    return answer;
  }

  const Function& function = kFunctions[request.function];
  Reply result;
  if (truncated)
    result = reply(99, "Requisição excede o tamanho máximo");
  else if (request.params.size() != function.params)
    result = reply(99, "Quantidade de parâmetros inválida");
  else if (function.codeParam >= 0 && request.params[function.codeParam] != code)
    result = reply(1, "Código de ativação inválido");
  else
    result = (this->*function.handler)(request);

  answer.line = result.verbatim.empty() ? format(request.function, request.session, result)
                                        : result.verbatim;
  if (request.function != kConsultarNumeroSessao &&
      request.function != kConsultarUltimaSessaoFiscal)
    store(request.session, answer.line);
  if (function.fiscal && result.detail == 0) lastFiscalAnswer = answer.line;
  const std::size_t codeAt = answer.line.find('|');
  log(request.session, function.name,
      codeAt == std::string::npos ? std::string() : answer.line.substr(codeAt + 1, 5));
  return answer;
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

std::string SatDevice::timestamp() const {
  const std::time_t now = clock();
  const std::time_t local =
      now < std::numeric_limits<std::time_t>::min() - kLocalOffset ? now : now + kLocalOffset;
  std::tm parts{};
  char text[32];
  if (!gmtime_r(&local, &parts) || parts.tm_year < 0 || parts.tm_year > 8000 ||
      std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts) != 14)
    return kNoTime;
  return text;
}

// cUF, year and month, issuer's CNPJ, model 59, serial number, CF-e number,
// a code and the check digit: 44 digits.
std::string SatDevice::newKey(const std::string& cnpj, std::int64_t number) const {
  const std::string when = timestamp();
  std::string issuer = digitsOf(cnpj);
  if (issuer.size() > 14) issuer.erase(0, issuer.size() - 14);
  issuer.insert(0, 14 - issuer.size(), '0');
  const std::string body = "35" + when.substr(2, 4) + issuer + "59" + kSerialNumber +
                           zeroFilled(number % 1000000, 6) +
                           zeroFilled((number * 7919 + 104729) % 1000000, 6);
  return body + checkDigit(body);
}

std::string SatDevice::issue(const std::string& cnpj, const std::string& when) {
  ++documentNumber;
  const std::string key = newKey(cnpj, documentNumber);
  if (firstKey.empty()) firstKey = key;
  lastKey = key;
  lastDocumentTime = when;
  return key;
}

void SatDevice::store(std::int32_t session, const std::string& line) {
  if (answers.find(session) == answers.end()) answerOrder.push_back(session);
  answers[session] = line;
  while (answerOrder.size() > kStoredSessions) {
    answers.erase(answerOrder.front());
    answerOrder.pop_front();
  }
}

void SatDevice::log(std::int32_t session, const char* function, const std::string& result) {
  logLines.push_back(timestamp() + " sessão " + formatSession(session) + " " + function + ": " +
                     result);
  while (logLines.size() > kLogLines) logLines.pop_front();
}

// ---- the sixteen functions ------------------------------------------------

Reply SatDevice::ativarSAT(const Request& r) {
  int subComando = 0;
  if (!parseInt(r.params[0], subComando) || subComando < 1 || subComando > 3)
    return reply(99, "Subcomando inválido");
  // Every activation answers with the device's certificate request; with an
  // ICP-Brasil certificate it is the one the taxpayer has signed.
  Reply activated =
      reply(0, subComando == 1 ? "Ativado corretamente" : "CSR ICP-BRASIL criado com sucesso");
  activated.tail.push_back(
      base64Encode("CSR " + std::string(kSerialNumber) + " " + digitsOf(r.params[2])));
  return activated;
}

Reply SatDevice::comunicarCertificado(const Request& r) {
  if (r.params[1].empty()) return reply(2, "Certificado inválido");
  return reply(0, "Certificado transmitido com sucesso");
}

Reply SatDevice::enviarDadosVenda(const Request& r) {
  if (isBlocked) return reply(6, "SAT bloqueado pelo contribuinte");
  SaleSummary sale;
  if (!summariseSale(r.params[1], sale)) return reply(10, "Erro de validação do conteúdo");
  const std::string when = timestamp();
  const std::string key = issue(sale.emitterCnpj, when);
  const std::string total = formatCents(sale.totalCents);
  lastSale = Sale{key, sale.emitterCnpj, total, sale.buyerId, false};
  haveSale = true;

  Reply result = reply(0, "Emitido com sucesso + conteúdo notas.");
  result.tail = {base64Encode(cfeDocument(key, when, sale.emitterCnpj, sale.buyerId, total,
                                          "CFe", "", &sale)),
                 when,
                 "CFe" + key,
                 total,
                 sale.buyerId,
                 pseudoSignature(key)};
  return result;
}

Reply SatDevice::cancelarUltimaVenda(const Request& r) {
  if (isBlocked) return reply(6, "SAT bloqueado pelo contribuinte");
  // Only the last sale can be cancelled, once, and the key must name it.
  if (!haveSale || lastSale.cancelled || r.params[1] != "CFe" + lastSale.key)
    return reply(2, "Chave de acesso não corresponde à última venda");
  const std::string when = timestamp();
  const std::string key = issue(lastSale.emitterCnpj, when);
  lastSale.cancelled = true;

  Reply result = reply(0, "Cupom cancelado com sucesso + conteúdo CF-e-SAT cancelado.");
  result.tail = {base64Encode(cfeDocument(key, when, lastSale.emitterCnpj, lastSale.buyerId,
                                          lastSale.total, "CFeCanc", lastSale.key)),
                 when,
                 "CFe" + key,
                 lastSale.total,
                 lastSale.buyerId,
                 pseudoSignature(key)};
  return result;
}

Reply SatDevice::consultarSAT(const Request&) { return reply(0, "SAT em operação"); }

Reply SatDevice::testeFimAFim(const Request& r) {
  SaleSummary sale;
  if (!summariseSale(r.params[1], sale)) return reply(10, "Erro de validação do conteúdo");
  // A test document: it takes the next number but is not counted as issued.
  const std::string when = timestamp();
  const std::int64_t number = documentNumber + 1;
  const std::string key = newKey(sale.emitterCnpj, number);
  Reply result = reply(0, "Emitido com sucesso");
  result.tail = {base64Encode(cfeDocument(key, when, sale.emitterCnpj, sale.buyerId,
                                          formatCents(sale.totalCents), "CFe", "", &sale)),
                 when, zeroFilled(number % 1000000, 6), "CFe" + key};
  return result;
}

Reply SatDevice::consultarStatusOperacional(const Request&) {
  std::size_t storedBytes = 0;
  for (const auto& entry : answers) storedBytes += entry.second.size();
  const std::string now = timestamp();
  Reply result = reply(0, "Resposta com Sucesso.");
  result.tail = {kSerialNumber,
                 network.type,
                 network.ip,
                 "00:1a:2b:3c:4d:5e",
                 network.mask,
                 network.gateway,
                 network.dns1,
                 network.dns2,
                 "CONECTADO",
                 "ALTO",
                 "4 GB",
                 std::to_string(storedBytes / 1024) + " KB",
                 now,
                 "01.00.00",
                 "00.07",
                 lastKey.empty() ? kNoKey : lastKey,
                 firstKey.empty() ? kNoKey : firstKey,
                 lastKey.empty() ? kNoKey : lastKey,
                 lastDocumentTime.empty() ? kNoTime : lastDocumentTime,
                 now,
                 "20240101",
                 "20290101",
                 // The operation state: 0 unblocked, 2 blocked by the taxpayer (BloquearSAT).
                 isBlocked ? "2" : "0"};
  return result;
}

Reply SatDevice::consultarNumeroSessao(const Request& r) {
  int asked = 0;
  if (!parseInt(r.params[1], asked)) return reply(99, "Número de sessão inválido");
  const auto found = answers.find(asked);
  if (found == answers.end()) return reply(3, "Sessão não existe");
  Reply replay;
  replay.verbatim = found->second;
  return replay;
}

Reply SatDevice::configurarInterfaceDeRede(const Request& r) {
  pugi::xml_document document;
  const std::string& text = r.params[1];
  if (!document.load_buffer(text.data(), text.size()) || !document.child("config"))
    return reply(2, "Dados de configuração inválidos");
  const pugi::xml_node config = document.child("config");
  // Each element given replaces the current setting; the rest stay.
  const std::pair<const char*, std::string Network::*> settings[] = {
      {"tipoLan", &Network::type}, {"lanIP", &Network::ip},     {"lanMask", &Network::mask},
      {"lanGW", &Network::gateway}, {"lanDNS1", &Network::dns1}, {"lanDNS2", &Network::dns2},
  };
  for (const auto& setting : settings) {
    const pugi::xml_node node = config.child(setting.first);
    if (node) network.*setting.second = field(node.text().get());
  }
  return reply(0, "Rede Configurada com Sucesso");
}

Reply SatDevice::associarAssinatura(const Request&) {
  return reply(0, "Assinatura do AC Registrada");
}

Reply SatDevice::atualizarSoftware(const Request&) {
  return reply(0, "Software Atualizado com Sucesso");
}

Reply SatDevice::extrairLogs(const Request&) {
  std::string text;
  for (const std::string& line : logLines) text += line + "\n";
  Reply result = reply(0, "Transferência completa");
  result.tail.push_back(base64Encode(text));
  return result;
}

Reply SatDevice::bloquearSAT(const Request&) {
  isBlocked = true;
  return reply(0, "Equipamento SAT bloqueado com sucesso.");
}

Reply SatDevice::desbloquearSAT(const Request&) {
  isBlocked = false;
  return reply(0, "Equipamento SAT desbloqueado com sucesso.");
}

Reply SatDevice::trocarCodigo(const Request& r) {
  int opcao = 0;
  if (!parseInt(r.params[1], opcao) || opcao < 1 || opcao > 2)
    return reply(99, "Opção inválida");
  const std::string& novo = r.params[2];
  if (novo.empty() || novo != r.params[3])
    return reply(2, "Confirmação do novo código de ativação não confere");
  code = novo;
  return reply(0, "Código de ativação alterado com sucesso.");
}

Reply SatDevice::consultarUltimaSessaoFiscal(const Request&) {
  if (lastFiscalAnswer.empty()) return reply(3, "Nenhuma sessão fiscal registrada");
  Reply replay;
  replay.verbatim = lastFiscalAnswer;
  return replay;
}

}  // namespace tivaxemu
