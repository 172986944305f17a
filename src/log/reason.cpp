// SPDX-License-Identifier: MIT
#include "log/reason.h"

#include <cerrno>
#include <cstring>

namespace Tivaxlib {
namespace Log {

namespace {

// Every text a reason can have. The phrase comes first, fixed per kind, so
// that a program can tell the kinds apart by it; the template after it
// takes the details:
//   {s} subject   {d} detail   {e} the system's error text   {h} a hint for it
//   {n} number    {m} expected   {t} number, milliseconds written as seconds
struct ReasonText {
  ReasonKind kind;
  const char* phrase;
  const char* details;
};

constexpr ReasonText kTexts[] = {
    {ReasonKind::None, "", ""},
    {ReasonKind::NullArgument, "argumento nulo", "{s} é NULL em {d}"},
    {ReasonKind::InvalidArgument, "argumento inválido", "{s} {d}"},
    {ReasonKind::NoDevice, "nenhum equipamento encontrado", "{d}"},
    {ReasonKind::OpenFailed, "porta não abre", "{s}: {e}{h}"},
    {ReasonKind::SettingsRefused, "configuração recusada", "{s}: {d} ({e}){h}"},
    {ReasonKind::WriteFailed, "falha de escrita",
     "{s}: {e}; a porta foi fechada, e a próxima chamada a abre de novo"},
    {ReasonKind::NoAnswer, "sem resposta",
     "o equipamento em {s} não respondeu em {n} leituras (cerca de 3 s)"},
    {ReasonKind::TimedOut, "tempo esgotado", "{d} em {t} s (TIVAX_TIMEOUT), na porta {s}"},
    {ReasonKind::PortBusy, "porta ocupada",
     "outro processo usou {s} por mais de {t} s (TIVAX_TIMEOUT)"},
    {ReasonKind::Cancelled, "chamada cancelada", "{d} foi chamada e precisa da conexão com o equipamento"},
    {ReasonKind::HungUp, "conexão perdida",
     "{d} ({e}): o equipamento foi desligado ou reiniciado"},
    {ReasonKind::OverCap, "resposta grande demais",
     "{n} bytes lidos sem que a resposta terminasse, acima do limite de {m} bytes"},
    {ReasonKind::OtherSession, "resposta de outra sessão",
     "a resposta é da sessão {n}, e o pedido da sessão {m}"},
    {ReasonKind::EchoMismatch, "eco diferente do pedido", "{d}"},
    {ReasonKind::TooFewFields, "campos insuficientes",
     "a resposta tem {n} campo(s), e são precisos ao menos {m}"},
    {ReasonKind::Unreadable, "resposta ilegível", "{d}"},
    {ReasonKind::NoResult, "resposta sem resultado", "{d}"},
    {ReasonKind::Internal, "erro interno", "{d}"},
};

constexpr bool tableInKindOrder() {
  for (std::size_t i = 0; i < sizeof kTexts / sizeof kTexts[0]; ++i)
    if (static_cast<std::size_t>(kTexts[i].kind) != i) return false;
  return static_cast<std::size_t>(ReasonKind::Internal) + 1 == sizeof kTexts / sizeof kTexts[0];
}
static_assert(tableInKindOrder(), "one text per reason kind, in the enum's order");

const char kReconnectedNote[] =
    " (a conexão com o equipamento estava fechada e foi aberta de novo nesta chamada)";

// What the operating system's error usually means for the device's port.
const char* hintFor(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return " (o usuário do programa precisa de leitura e escrita no terminal: em geral, "
             "pertencer ao grupo dialout)";
    case ENOENT:
      return " (o caminho não existe: o equipamento está desligado, ou a porta é outra)";
    case ENOTTY:
      return " (o caminho não é um terminal)";
    case ENXIO:
    case ENODEV:
      return " (não há equipamento por trás do caminho)";
    default:
      return "";
  }
}

std::string errorText(int error) {
  if (error == 0) return "fim dos dados";
  char buffer[256];
  // The GNU form: the text may be a static string rather than the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

// Milliseconds as seconds, the way TIVAX_TIMEOUT is written: 1500 is "1.5".
std::string asSeconds(long long ms) {
  std::string text = std::to_string(ms / 1000);
  long long rest = ms % 1000;
  if (rest == 0) return text;
  std::string decimals = std::to_string(1000 + rest).substr(1);
  while (decimals.back() == '0') decimals.pop_back();
  return text + "." + decimals;
}

thread_local Reason t_noted;
thread_local bool t_reconnected = false;
thread_local const char* t_call = "";

}  // namespace

const char* reasonPhrase(ReasonKind kind) { return kTexts[static_cast<int>(kind)].phrase; }

std::string renderReason(const Reason& reason) {
  const ReasonText& row = kTexts[static_cast<int>(reason.kind)];
  if (reason.kind == ReasonKind::None) return std::string();
  std::string text = row.phrase;
  text += ": ";
  for (const char* at = row.details; *at; ++at) {
    if (at[0] != '{' || at[1] == '\0' || at[2] != '}') {
      text += *at;
      continue;
    }
    switch (at[1]) {
      case 's': text += reason.subject; break;
      case 'd':
        // Only running out of memory leaves an internal failure without words.
        text += reason.detail.empty() && reason.kind == ReasonKind::Internal ? "memória insuficiente"
                                                                              : reason.detail;
        break;
      case 'e': text += errorText(reason.error); break;
      case 'h': text += hintFor(reason.error); break;
      case 'n': text += std::to_string(reason.number); break;
      case 'm': text += std::to_string(reason.expected); break;
      case 't': text += asSeconds(reason.number); break;
      default: text.append(at, 3); break;
    }
    at += 2;
  }
  return text;
}

void noteReason(Reason reason) { t_noted = std::move(reason); }

const Reason& notedReason() { return t_noted; }

void noteReconnected() { t_reconnected = true; }

bool reconnectedInCall() { return t_reconnected; }

void clearNoted() {
  t_noted = Reason();
  t_reconnected = false;
}

std::string renderNoted() {
  std::string text = renderReason(t_noted);
  if (!text.empty() && t_reconnected) text += kReconnectedNote;
  return text;
}

CallScope::CallScope(const char* function) : outer_(t_call) { t_call = function; }

CallScope::~CallScope() { t_call = outer_; }

const char* currentCall() { return t_call; }

}  // namespace Log
}  // namespace Tivaxlib
