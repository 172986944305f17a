// SPDX-License-Identifier: MIT
#include "messages/request_fields.h"

#include <algorithm>
#include <type_traits>
#include <vector>

#include "messages/messages_util.h"

namespace Tivaxlib {
namespace Transactions {
namespace Messages {

namespace {

using Log::FieldRole;

template <class T>
struct MemberTraits;
template <class Owner_, class Type_>
struct MemberTraits<Type_ Owner_::*> {
  using Owner = Owner_;
  using Type = Type_;
};

// Reads one field of a request. Each table row names the fields of its own
// request class, and a request hands in its own id, so the cast always
// names the request's real type.
template <auto field>
RequestValue param(const SendMessageBase& request) {
  using Traits = MemberTraits<decltype(field)>;
  const auto& value = static_cast<const typename Traits::Owner&>(request).*field;
  if constexpr (std::is_same_v<typename Traits::Type, int32_t>)
    return {nullptr, value};
  else
    return {&value, 0};
}

RequestValue configurationText(const SendMessageBase& request) {
  return {&static_cast<const EnvioConfigurarInterfaceDeRede&>(request).getDadosConfiguracao(), 0};
}

// The codes that unlock the device never reach the log, whatever the
// function: the activation code (the emergency code, for opcao 2) and the
// new code with its confirmation. The certificate and the signature are
// shortened however short they are.
constexpr FieldRole P = FieldRole::Plain;
constexpr FieldRole S = FieldRole::Secret;
constexpr FieldRole B = FieldRole::Bulky;
constexpr FieldRole C = FieldRole::Configuration;

using Ativar = EnvioAtivarSAT;
using Certificado = EnvioComunicarCertificadoICPBRASIL;
using Venda = EnvioEnviarDadosVenda;
using Cancelar = EnvioCancelarUltimaVenda;
using Assinatura = EnvioAssociarAssinatura;
using Trocar = EnvioTrocarCodigoDeAtivacao;

constexpr RequestLayout kLayouts[] = {
    {ATIVAR_SAT, "AtivarSAT",
     {{param<&Ativar::subComando>, P}, {param<&Ativar::codigoDeAtivacao>, S},
      {param<&Ativar::CNPJ>, P}, {param<&Ativar::cUF>, P}}},
    {COMUNICAR_CERTIFICADO_ICPBRASIL, "ComunicarCertificadoICPBRASIL",
     {{param<&Certificado::codigoDeAtivacao>, S}, {param<&Certificado::certificado>, B}}},
    {ENVIAR_DADOS_VENDA, "EnviarDadosVenda",
     {{param<&Venda::codigoDeAtivacao>, S}, {param<&Venda::dadosVenda>, P}}},
    {CANCELAR_ULTIMA_VENDA, "CancelarUltimaVenda",
     {{param<&Cancelar::codigoDeAtivacao>, S}, {param<&Cancelar::chave>, P},
      {param<&Cancelar::dadosCancelamento>, P}}},
    {CONSULTAR_SAT, "ConsultarSAT", {}},
    {TESTE_FIM_A_FIM, "TesteFimAFim",
     {{param<&EnvioTesteFimAFim::codigoDeAtivacao>, S}, {param<&EnvioTesteFimAFim::dadosVenda>, P}}},
    {CONSULTAR_STATUS_OPERACIONAL, "ConsultarStatusOperacional",
     {{param<&EnvioConsultarStatusOperacional::codigoDeAtivacao>, S}}},
    {CONSULTAR_NUMERO_SESSAO, "ConsultarNumeroSessao",
     {{param<&EnvioConsultarNumeroSessao::codigoDeAtivacao>, S},
      {param<&EnvioConsultarNumeroSessao::cNumeroDeSessao>, P}}},
    {CONFIGURAR_INTERFACE_DE_REDE, "ConfigurarInterfaceDeRede",
     {{param<&EnvioConfigurarInterfaceDeRede::codigoDeAtivacao>, S}, {configurationText, C}}},
    {ASSOCIAR_ASSINATURA, "AssociarAssinatura",
     {{param<&Assinatura::codigoDeAtivacao>, S}, {param<&Assinatura::CNPJvalue>, P},
      {param<&Assinatura::assinaturaCNPJs>, B}}},
    {ATUALIZAR_SOFTWARE_SAT, "AtualizarSoftwareSAT",
     {{param<&EnvioAtualizarSoftwareSAT::codigoDeAtivacao>, S}}},
    {EXTRAIR_LOGS, "ExtrairLogs", {{param<&EnvioExtrairLogs::codigoDeAtivacao>, S}}},
    {BLOQUEAR_SAT, "BloquearSAT", {{param<&EnvioBloquearSAT::codigoDeAtivacao>, S}}},
    {DESBLOQUEAR_SAT, "DesbloquearSAT", {{param<&EnvioDesbloquearSAT::codigoDeAtivacao>, S}}},
    {TROCAR_CODIGO_DE_ATIVACAO, "TrocarCodigoDeAtivacao",
     {{param<&Trocar::codigoDeAtivacao>, S}, {param<&Trocar::opcao>, P},
      {param<&Trocar::novoCodigo>, S}, {param<&Trocar::confNovoCodigo>, S}}},
    {CONSULTAR_ULTIMA_SESSAO_FISCAL, "ConsultarUltimaSessaoFiscal",
     {{param<&EnvioConsultarUltimaSessaoFiscal::codigoDeAtivacao>, S}}},
};

constexpr bool indexedById() {
  for (std::size_t i = 0; i < sizeof kLayouts / sizeof kLayouts[0]; ++i)
    if (static_cast<std::size_t>(kLayouts[i].id) != i) return false;
  return sizeof kLayouts / sizeof kLayouts[0] == static_cast<std::size_t>(kSatFunctionCount);
}
static_assert(indexedById(), "one request layout per function, in id order");

// Secrets shorter than this are not searched for in received text: masking
// every "1" of an answer would leave nothing readable.
constexpr std::size_t kShortestScrubbedSecret = 4;

// Digits only, and equal to `value`.
bool numberIs(std::string_view field, long long value) {
  if (field.empty() || field.size() > 18) return false;
  long long n = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  return n == value;
}

void maskEvery(std::string& text, const std::string& secret) {
  for (std::size_t at = text.find(secret); at != std::string::npos;
       at = text.find(secret, at + sizeof Log::kMasked - 1))
    text.replace(at, secret.size(), Log::kMasked);
}

// The elements of a network configuration that hold secrets: the Wi-Fi
// passphrase and the proxy's password.
constexpr const char* kConfigurationSecrets[] = {"codigo", "proxy_senha"};

// The text with the content of every secret element masked.
std::string withConfigurationSecretsMasked(std::string text) {
  for (const char* tag : kConfigurationSecrets) {
    const std::string open = std::string("<") + tag + ">";
    const std::string close = std::string("</") + tag + ">";
    for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
      const std::size_t from = at + open.size();
      const std::size_t end = text.find(close, from);
      const std::size_t to = end == std::string::npos ? text.size() : end;
      if (to > from) text.replace(from, to - from, Log::kMasked);
    }
  }
  return text;
}

// A secret as it travels: the channel drops its line feeds, and carriage
// returns are dropped from every received line.
std::string asReceived(const std::string& secret) {
  std::string text = secret;
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }),
             text.end());
  return text;
}

FieldRole logRole(FieldRole role) { return role == FieldRole::Configuration ? FieldRole::Plain : role; }

}  // namespace

const RequestLayout& requestLayout(sat_function_id_t id) { return kLayouts[id]; }

std::string requestLineForLog(const SendMessageBase& request) {
  const RequestLayout& layout = requestLayout(request.functionId());
  std::string line = std::to_string(layout.id) + '|' + MessagesUtil::formatSession(request.numeroSessao);
  for (std::size_t i = 0; i < layout.fieldCount(); ++i) {
    const RequestValue value = layout.fields[i].read(request);
    line += '|';
    if (value.text == nullptr) {
      line += std::to_string(value.number);
      continue;
    }
    // As it travels: the channel drops every line feed.
    std::string sent = *value.text;
    sent.erase(std::remove(sent.begin(), sent.end(), '\n'), sent.end());
    if (layout.fields[i].role == FieldRole::Configuration)
      sent = withConfigurationSecretsMasked(std::move(sent));
    line += Log::shortened(sent, logRole(layout.fields[i].role));
  }
  return line;
}

std::string receivedLineForLog(const SendMessageBase& request, std::string_view received) {
  const RequestLayout& layout = requestLayout(request.functionId());
  // A secret may hold a "|" and so span fields: it is masked whole first,
  // wherever it stands. A short one would mask half the answer that way:
  // it is masked where it makes a whole field.
  std::string line(received);
  std::vector<std::string> shortSecrets;
  for (std::size_t i = 0; i < layout.fieldCount(); ++i) {
    if (layout.fields[i].role == FieldRole::Configuration) {
      line = withConfigurationSecretsMasked(std::move(line));
      continue;
    }
    if (layout.fields[i].role != FieldRole::Secret) continue;
    const RequestValue value = layout.fields[i].read(request);
    if (value.text == nullptr) continue;
    const std::string secret = asReceived(*value.text);
    if (secret.size() >= kShortestScrubbedSecret)
      maskEvery(line, secret);
    else if (!secret.empty())
      shortSecrets.push_back(secret);
  }
  if (!shortSecrets.empty()) {
    std::string masked;
    const std::vector<std::string_view> parts = splitFields(line, true);
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) masked += '|';
      const bool secret =
          std::find(shortSecrets.begin(), shortSecrets.end(), parts[i]) != shortSecrets.end();
      masked += secret ? std::string_view(Log::kMasked) : parts[i];
    }
    if (!line.empty() && line.back() == '|' && (masked.empty() || masked.back() != '|')) masked += '|';
    line = std::move(masked);
  }
  // A trailing empty field counts, as in the echo of an empty last parameter.
  const std::vector<std::string_view> fields = splitFields(line, true);
  if (fields.size() >= 2 && numberIs(fields[0], layout.id) &&
      numberIs(fields[1], request.numeroSessao)) {
    std::string out = std::string(fields[0]) + '|' + std::string(fields[1]);
    for (std::size_t i = 2; i < fields.size(); ++i) {
      const std::size_t param = i - 2;
      out += '|';
      out += Log::shortened(fields[i], param < layout.fieldCount() ? logRole(layout.fields[param].role)
                                                                    : FieldRole::Plain);
    }
    return out;
  }
  return Log::shortenedLine(line);
}

}  // namespace Messages
}  // namespace Transactions
}  // namespace Tivaxlib
