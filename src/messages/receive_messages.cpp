// SPDX-License-Identifier: MIT
#include "messages/receive_messages.h"

#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "log/text_format.h"
#include "messages/messages_util.h"
#include "messages/request_fields.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

namespace {

// Fields are views into the line they were split from, which outlives them:
// an answer of many thousand fields costs no string per field.
using Fields = std::vector<std::string_view>;

// ---- The echo ------------------------------------------------------------
//
// The device may send the request line back before its answer. An echo is
// recognised field by field: the field count, the function id, the session
// number and then every parameter of the request (request_fields.h).
// Numeric parameters are compared as numbers (000123 is 123); text
// parameters byte for byte with the value as it travelled, i.e. without the
// line feeds the channel strips and the carriage returns and NUL bytes
// dropped from every received line. Comparing with the stored value instead would lose the
// answer to any multi-line XML.

// ---- The field layout of each function's answer ---------------------------
//
// Only the number of fields present decides what is filled, never a result
// code: fields that are absent keep their defaults.

enum class Layout {
  FiveField,     // session|EEEEE|mensagem|cod|mensagemSEFAZ|...
  Sale,          // session|EEEEE|CCCC|mensagem|cod|mensagemSEFAZ|...
  SessionQuery,  // like FiveField, or the stored answer of another session
};

enum class Tail {
  None,
  Texts,        // the class's own texts, one field each, after the common part
  JoinedRest,   // fields 6 to the last, joined again by "|"
  KeyRequest,   // field 6 is a certificate request, for subComando 2 and 3 only
};

struct LayoutRow {
  sat_function_id_t id;
  Layout layout;
  Tail tail;
};

constexpr LayoutRow kLayouts[] = {
    {ATIVAR_SAT, Layout::FiveField, Tail::KeyRequest},
    {COMUNICAR_CERTIFICADO_ICPBRASIL, Layout::FiveField, Tail::None},
    {ENVIAR_DADOS_VENDA, Layout::Sale, Tail::Texts},
    {CANCELAR_ULTIMA_VENDA, Layout::Sale, Tail::Texts},
    {CONSULTAR_SAT, Layout::FiveField, Tail::None},
    {TESTE_FIM_A_FIM, Layout::FiveField, Tail::Texts},
    {CONSULTAR_STATUS_OPERACIONAL, Layout::FiveField, Tail::JoinedRest},
    {CONSULTAR_NUMERO_SESSAO, Layout::SessionQuery, Tail::None},
    {CONFIGURAR_INTERFACE_DE_REDE, Layout::FiveField, Tail::None},
    {ASSOCIAR_ASSINATURA, Layout::FiveField, Tail::None},
    {ATUALIZAR_SOFTWARE_SAT, Layout::FiveField, Tail::None},
    {EXTRAIR_LOGS, Layout::FiveField, Tail::Texts},
    {BLOQUEAR_SAT, Layout::FiveField, Tail::None},
    {DESBLOQUEAR_SAT, Layout::FiveField, Tail::None},
    {TROCAR_CODIGO_DE_ATIVACAO, Layout::FiveField, Tail::None},
    {CONSULTAR_ULTIMA_SESSAO_FISCAL, Layout::SessionQuery, Tail::None},
};

template <class Row, std::size_t N>
constexpr bool indexedById(const Row (&rows)[N]) {
  for (std::size_t i = 0; i < N; ++i)
    if (static_cast<std::size_t>(rows[i].id) != i) return false;
  return N == static_cast<std::size_t>(kSatFunctionCount);
}
static_assert(indexedById(kLayouts), "one layout per function, in id order");

// The destinations a record hands in for the fields that only it has.
struct OwnFields {
  std::initializer_list<std::string*> texts;
  int32_t* secondCode;
};

// ---- Text helpers ----------------------------------------------------------

// Visits the lines as a text stream reads them: every "\n" ends one, and a
// non-empty rest after the last "\n" is one more. Carriage returns are
// dropped wherever they stand, and so are NUL bytes (a serial break reads
// as one): the line goes on after them, and is handed back whole.
// `visit` returns false to stop.
template <class Visit>
void forEachLine(const std::string& text, Visit visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line;
    line.reserve(end - start);
    for (std::size_t i = start; i < end; ++i)
      if (text[i] != '\r' && text[i] != '\0') line += text[i];
    if (!visit(std::move(line))) return;
    start = end + 1;
  }
}

// MessagesUtil::isNumber on a view.
bool isNumber(std::string_view field) {
  if (field.empty()) return false;
  for (char c : field)
    if (c < '0' || c > '9') return false;
  return true;
}

// For fields that passed isNumber; throws std::out_of_range when the digits
// do not fit 32 bits.
int32_t toInt32(std::string_view digits) { return std::stoi(std::string(digits)); }

// Whether `received` is `sent` as it reaches us after the round trip: with
// every line feed, carriage return and NUL byte gone.
bool sameWithoutLineBreaks(std::string_view received, const std::string& sent) {
  std::size_t at = 0;
  for (char c : sent) {
    if (c == '\n' || c == '\r' || c == '\0') continue;
    if (at == received.size() || received[at] != c) return false;
    ++at;
  }
  return at == received.size();
}

// ---- Echo check ------------------------------------------------------------

using Log::formatText;

// How `line` differs from the echo of `request`: "" when it is the echo.
std::string echoDifference(const std::string& line, const SendMessageBase& request,
                           const RequestLayout& layout) {
  const Fields fields = splitFields(line, true);
  const std::size_t paramCount = layout.fieldCount();
  if (fields.size() != 2 + paramCount)
    return formatText("a primeira de duas linhas tem %zu campo(s), e o eco deste pedido teria %zu",
                      fields.size(), 2 + paramCount);
  const auto notNumber = [](std::size_t field) {
    return formatText("o campo %zu da primeira de duas linhas não é um número, como no pedido",
                      field + 1);
  };
  if (!isNumber(fields[0])) return notNumber(0);
  if (!isNumber(fields[1])) return notNumber(1);
  for (std::size_t i = 0; i < paramCount; ++i)
    if (layout.fields[i].read(request).text == nullptr && !isNumber(fields[2 + i]))
      return notNumber(2 + i);
  try {
    if (toInt32(fields[0]) != layout.id)
      return formatText("a primeira de duas linhas é de outra função (%s), e o pedido da %d",
                        std::string(fields[0]).c_str(), layout.id);
    if (toInt32(fields[1]) != request.numeroSessao)
      return formatText("a primeira de duas linhas é da sessão %s, e o pedido da %d",
                        std::string(fields[1]).c_str(), request.numeroSessao);
    for (std::size_t i = 0; i < paramCount; ++i) {
      const RequestValue sent = layout.fields[i].read(request);
      const bool same = sent.text ? sameWithoutLineBreaks(fields[2 + i], *sent.text)
                                  : toInt32(fields[2 + i]) == sent.number;
      if (!same)
        return formatText("o campo %zu da primeira de duas linhas difere do que o pedido enviou",
                          3 + i);
    }
  } catch (const std::out_of_range&) {
    // A number too long for 32 bits was never sent by us.
    return "um número da primeira de duas linhas não cabe em 32 bits";
  }
  return std::string();
}

// Whether a line is numbered for another session: its first field is a
// number, and not the session of this exchange (`ours`, or `consulted` for
// the session query, -1 when there is none). The echo of the request,
// whose first field is the function id, is recognised by the whole line
// before this is asked: a line that only carries this session's number in
// its second field (a late answer whose result code reads like it, say) is
// another session's.
bool forAnotherSession(const std::string& line, int32_t ours, int32_t consulted) {
  const std::string_view first = std::string_view(line).substr(0, line.find('|'));
  if (!isNumber(first)) return false;
  try {
    const int32_t session = toInt32(first);
    return session != ours && session != consulted;
  } catch (const std::out_of_range&) {
    return true;  // no session of ours is that long
  }
}

// ---- Filling the record ----------------------------------------------------

// The tax authority's code and message, where the layout puts them. A code
// that is not a number leaves cod at 0 and decoding goes on.
void fillAuthority(ReceiveMessageBase& record, const Fields& fields, std::size_t codAt) {
  if (fields.size() > codAt && isNumber(fields[codAt]))
    record.cod = toInt32(fields[codAt]);
  if (fields.size() > codAt + 1) record.mensagemSEFAZ.assign(fields[codAt + 1]);
}

// Why a line does not fit its layout.
using Log::Reason;
using Log::ReasonKind;

std::size_t stop(Reason& why, Reason reason) {
  why = std::move(reason);
  return 0;
}
Reason tooFewFields(const Fields& fields, std::size_t needed) {
  return Reason(ReasonKind::TooFewFields).counting(static_cast<long long>(fields.size()),
                                                   static_cast<long long>(needed));
}
Reason notANumber(std::size_t index, const char* what) {
  return Reason(ReasonKind::Unreadable)
      .saying(formatText("o campo %zu (%s) não é um número", index + 1, what));
}

const char kSessionField[] = "a sessão";
const char kCodeField[] = "o código de retorno";

// Returns the index of the first field after the common part, or 0 when the
// line does not fit the layout and decoding stops (`why` then says why).
std::size_t fillFiveField(ReceiveMessageBase& record, const Fields& fields, Reason& why) {
  if (fields.size() < 3) return stop(why, tooFewFields(fields, 3));
  if (!isNumber(fields[0])) return stop(why, notANumber(0, kSessionField));
  if (!isNumber(fields[1])) return stop(why, notANumber(1, kCodeField));
  record.numeroSessao = toInt32(fields[0]);
  record.EEEEE = toInt32(fields[1]);
  record.mensagem.assign(fields[2]);
  fillAuthority(record, fields, 3);
  return 5;
}

std::size_t fillSale(ReceiveMessageBase& record, int32_t* CCCC, const Fields& fields,
                     Reason& why) {
  if (fields.size() < 4) return stop(why, tooFewFields(fields, 4));
  const char* const names[] = {kSessionField, kCodeField, "o código CCCC"};
  for (std::size_t i = 0; i < 3; ++i)
    if (!isNumber(fields[i])) return stop(why, notANumber(i, names[i]));
  record.numeroSessao = toInt32(fields[0]);
  record.EEEEE = toInt32(fields[1]);
  const int32_t secondCode = toInt32(fields[2]);
  if (CCCC) *CCCC = secondCode;
  record.mensagem.assign(fields[3]);
  fillAuthority(record, fields, 4);
  return 6;
}

// The session queries may answer with the stored answer of another session;
// its whole line then stands in mensagem. The session number is stored
// before the result code is looked at.
std::size_t fillSessionQuery(ReceiveMessageBase& record, const SendMessageBase& request,
                             const Fields& fields, Reason& why) {
  if (fields.size() < 3) return stop(why, tooFewFields(fields, 3));
  if (!isNumber(fields[0])) return stop(why, notANumber(0, kSessionField));
  record.numeroSessao = toInt32(fields[0]);
  if (record.numeroSessao != request.numeroSessao) {
    record.mensagem = record.rawResponse;
    return 0;
  }
  if (!isNumber(fields[1])) return stop(why, notANumber(1, kCodeField));
  record.EEEEE = toInt32(fields[1]);
  record.mensagem.assign(fields[2]);
  fillAuthority(record, fields, 3);
  return 5;
}

void fillTail(Tail tail, const SendMessageBase& request, const OwnFields& own, const Fields& fields,
              std::size_t from) {
  if (own.texts.size() == 0) return;
  std::string& first = **own.texts.begin();
  switch (tail) {
    case Tail::None:
      break;
    case Tail::Texts: {
      std::size_t at = from;
      for (std::string* text : own.texts) {
        if (at >= fields.size()) break;
        text->assign(fields[at++]);
      }
      break;
    }
    case Tail::JoinedRest:
      for (std::size_t at = from; at < fields.size(); ++at) {
        if (at > from) first += '|';
        first.append(fields[at]);
      }
      break;
    case Tail::KeyRequest: {
      // A seventh field means the line is not the expected answer shape.
      const int32_t subComando = static_cast<const EnvioAtivarSAT&>(request).subComando;
      if ((subComando == 2 || subComando == 3) && fields.size() == from + 1)
        first.assign(fields[from]);
      break;
    }
  }
}

void fillRecord(ReceiveMessageBase& record, const SendMessageBase& request, const LayoutRow& row,
                const OwnFields& own, const Fields& fields, Reason& why) {
  std::size_t tailFrom = 0;
  switch (row.layout) {
    case Layout::FiveField:
      tailFrom = fillFiveField(record, fields, why);
      break;
    case Layout::Sale:
      tailFrom = fillSale(record, own.secondCode, fields, why);
      break;
    case Layout::SessionQuery:
      tailFrom = fillSessionQuery(record, request, fields, why);
      break;
  }
  if (tailFrom != 0) fillTail(row.tail, request, own, fields, tailFrom);
}

}  // namespace

namespace {

// The leading number of a line passed over as another session's.
int32_t leadingSession(const std::string& line) {
  try {
    return toInt32(std::string_view(line).substr(0, line.find('|')));
  } catch (const std::out_of_range&) {
    return 0;
  }
}

}  // namespace

void ReceiveMessageBase::decodeReceived(const std::string& received,
                                        const SendMessageBase* request, sat_function_id_t id,
                                        std::initializer_list<std::string*> ownTexts,
                                        int32_t* secondCode) noexcept {
  pending = false;
  failure = Reason();
  decodedFor = request;
  if (request == nullptr || id < 0 || id >= kSatFunctionCount) {
    failure = Reason(ReasonKind::Internal).saying("a resposta não está ligada ao seu pedido");
    return;
  }
  const std::string* answer = nullptr;
  try {
    const RequestLayout& signature = requestLayout(id);
    const LayoutRow& layout = kLayouts[id];
    // Built only when needed: for a sale it is a copy of the whole XML.
    std::string sent;
    const auto isBareEcho = [&](const std::string& line) {
      if (sent.empty()) sent = request->pullMessageToSend();
      return sameWithoutLineBreaks(line, sent);
    };
    // Blank lines never count, nor does the echo of the request (however
    // often it comes), nor a line for another session: the answer to this
    // request may still follow them. The session query takes the consulted
    // session's stored line as its answer; the query for the last fiscal
    // session, which names none, any session's.
    int32_t consulted = -1;
    if (id == CONSULTAR_NUMERO_SESSAO)
      consulted = static_cast<const EnvioConsultarNumeroSessao&>(*request).cNumeroDeSessao;
    const bool anySession = id == CONSULTAR_ULTIMA_SESSAO_FISCAL;
    std::vector<std::string> lines;
    forEachLine(received, [&](std::string&& line) {
      if (line.empty()) return true;
      if (isBareEcho(line)) {
        echoSeen = true;
        return true;
      }
      if (!anySession && forAnotherSession(line, request->numeroSessao, consulted)) {
        ++passedOver;
        otherSession = leadingSession(line);
        return true;
      }
      lines.push_back(std::move(line));
      return lines.size() < 3;  // more than two lines are never decoded
    });
    if (lines.empty()) {
      pending = true;
      return;
    }
    if (lines.size() == 1) {
      answer = &lines[0];
    } else if (lines.size() == 2) {
      // The first of two lines carries this session's number where the
      // echo has it: a garbled echo, which says how it differs.
      const std::string difference = echoDifference(lines[0], *request, signature);
      if (!difference.empty()) {
        failure = Reason(ReasonKind::EchoMismatch).saying(difference);
        return;
      }
      echoSeen = true;
      answer = &lines[1];
    } else {
      failure = Reason(ReasonKind::Unreadable)
                    .saying("chegaram três linhas ou mais, e só a resposta, ou o eco e a "
                            "resposta, são lidos");
      return;
    }
    if (Log::tracing()) answerLine = *answer;
    Fields fields = splitFields(*answer);
    if (answer->find('|') == std::string::npos) {
      failure = tooFewFields(fields, layout.layout == Layout::Sale ? 4 : 3);
      return;
    }
    rawResponse = MessagesUtil::responseParser(*answer);
    fillRecord(*this, *request, layout, OwnFields{ownTexts, secondCode}, fields, failure);
  } catch (const std::exception& error) {
    // A conversion failure ends decoding where it stands, and so does running
    // out of memory: what was filled stays, the rest keeps its defaults, and
    // the transaction's validation judges the result.
    try {
      if (dynamic_cast<const std::invalid_argument*>(&error))
        failure = notANumber(0, kSessionField);
      else if (dynamic_cast<const std::out_of_range*>(&error))
        failure = Reason(ReasonKind::Unreadable).saying("um número da resposta não cabe em 32 bits");
      else
        failure = Reason(ReasonKind::Internal);
    } catch (...) {
      failure = Reason(ReasonKind::Internal);  // no memory left even for the text
    }
  }
}

std::string ReceiveMessageBase::describeForLog(const std::string& received) const {
  std::string text = echoSeen ? "echo=yes" : "echo=no";
  if (passedOver > 0) text += formatText(" passed_over=%d (session %d)", passedOver, otherSession);
  if (decodedFor == nullptr) return text + " text=" + Log::quoted(Log::shortenedLine(received));
  if (!answerLine.empty())
    return text + " answer=" + Log::quoted(receivedLineForLog(*decodedFor, answerLine));
  // Nothing taken as the answer: every line, as the log may show it.
  std::string lines;
  forEachLine(received, [&](std::string&& line) {
    if (!lines.empty()) lines += '\n';
    lines += receivedLineForLog(*decodedFor, line);
    return true;
  });
  return text + " received=" + Log::quoted(lines);
}

void RetornoAtivarSAT::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, ATIVAR_SAT, {&CSR});
}

void RetornoComunicarCertificadoICPBRASIL::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, COMUNICAR_CERTIFICADO_ICPBRASIL);
}

void SaleReceiveMessageBase::decodeSale(const std::string& received,
                                        const SendMessageBase* request,
                                        sat_function_id_t id) noexcept {
  decodeReceived(received, request, id,
                 {&arquivoCFeBase64, &timeStamp, &chaveConsulta, &valorTotalCFe, &CPFCNPJValue,
                  &assinaturaQRCODE},
                 &CCCC);
}

void RetornoEnviarDadosVenda::pushReceivedMessage(std::string& received) {
  decodeSale(received, envio, ENVIAR_DADOS_VENDA);
}

void RetornoCancelarUltimaVenda::pushReceivedMessage(std::string& received) {
  decodeSale(received, envio, CANCELAR_ULTIMA_VENDA);
}

void RetornoConsultarSAT::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, CONSULTAR_SAT);
}

void RetornoTesteFimAFim::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, TESTE_FIM_A_FIM,
                 {&arquivoCFeBase64, &timeStamp, &numDocFiscal, &chaveConsulta});
}

void RetornoConsultarStatusOperacional::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, CONSULTAR_STATUS_OPERACIONAL, {&dadosStatus});
}

void RetornoConsultarNumeroSessao::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, CONSULTAR_NUMERO_SESSAO);
}

void RetornoConfigurarInterfaceDeRede::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, CONFIGURAR_INTERFACE_DE_REDE);
}

void RetornoAssociarAssinatura::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, ASSOCIAR_ASSINATURA);
}

void RetornoAtualizarSoftwareSAT::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, ATUALIZAR_SOFTWARE_SAT);
}

void RetornoExtrairLogs::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, EXTRAIR_LOGS, {&arquivoLog});
}

void RetornoBloquearSAT::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, BLOQUEAR_SAT);
}

void RetornoDesbloquearSAT::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, DESBLOQUEAR_SAT);
}

void RetornoTrocarCodigoDeAtivacao::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, TROCAR_CODIGO_DE_ATIVACAO);
}

void RetornoConsultarUltimaSessaoFiscal::pushReceivedMessage(std::string& received) {
  decodeReceived(received, envio, CONSULTAR_ULTIMA_SESSAO_FISCAL);
}

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
