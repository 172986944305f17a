// SPDX-License-Identifier: MIT
#include "subcommands.h"

#include <memory>

#include "tivax.h"

namespace tivaxcli {

namespace {

// Takes over a string returned by the library: copied, then released the
// only way the library allows.
Answer satAnswer(char* result) {
  std::unique_ptr<char, void (*)(char*)> owned(result, DesalocarString);
  std::string text = owned ? owned.get() : "";
  const bool valid = !text.empty();
  return {std::move(text), valid, valid ? std::string() : libraryReason()};
}

// An option's value as the C functions take it.
const char* text(const Invocation& in, const char* name) { return in.values.text(name).c_str(); }
int integer(const Invocation& in, const char* name) { return in.values.integer(name); }

using SatCall = char* (*)(const Invocation&);

Subcommand describe(const char* name, const char* function, const char* summary,
                    std::vector<CliOption> options, AnswerLayout layout) {
  Subcommand subcommand;
  subcommand.name = name;
  subcommand.function = function;
  subcommand.summary = summary;
  subcommand.options = std::move(options);
  subcommand.layout = layout;
  subcommand.needsDevice = true;
  return subcommand;
}

// A subcommand for one of the sixteen SAT functions.
// `number` is the device's function number, which names its success code.
Subcommand sat(const char* name, const char* function, int number, const char* summary,
               std::vector<CliOption> options, AnswerLayout layout, SatCall call) {
  Subcommand subcommand = describe(name, function, summary, std::move(options), layout);
  subcommand.functionNumber = number;
  subcommand.call = [call](const Invocation& in) { return satAnswer(call(in)); };
  return subcommand;
}

// A subcommand for a library function that answers 1 or 0.
Subcommand question(const char* name, const char* function, const char* summary,
                    std::vector<CliOption> options, const char* valueName, bool needsDevice,
                    int (*call)(const Invocation&), bool zeroIsValid) {
  Subcommand subcommand = describe(name, function, summary, std::move(options), AnswerLayout::Flag);
  subcommand.flagName = valueName;
  subcommand.needsDevice = needsDevice;
  subcommand.call = [call, zeroIsValid](const Invocation& in) {
    const int value = call(in);
    const bool valid = value != 0 || zeroIsValid;
    return Answer{value ? "1" : "0", valid, valid ? std::string() : libraryReason()};
  };
  return subcommand;
}

// The options that several functions share.
CliOption codigo() {
  return requiredOption("codigo", ValueKind::Text, "CODIGO", "código de ativação do equipamento");
}
CliOption arquivo(const std::string& what) {
  return requiredOption("arquivo", ValueKind::File, "ARQUIVO", what + " (\"-\" lê a entrada padrão)");
}

// clang-format off
std::vector<Subcommand> buildTable() {
  return {
    sat("ativar", "AtivarSAT", 0, "ativa o equipamento",
        {optionalOption("subcomando", ValueKind::Integer, "N",
                        "1 = certificado AC-SAT SEFAZ, 2 = certificado ICP-Brasil, 3 = renovação ICP-Brasil",
                        "1"),
         codigo(),
         requiredOption("cnpj", ValueKind::Text, "CNPJ", "CNPJ do contribuinte, só dígitos"),
         optionalOption("uf", ValueKind::Integer, "CODIGO_UF", "código IBGE da unidade federativa", "35")},
        AnswerLayout::Activation, [](const Invocation& in) {
          return AtivarSAT(in.sessao, integer(in, "subcomando"), text(in, "codigo"), text(in, "cnpj"),
                           integer(in, "uf"));
        }),
    sat("comunicar-certificado", "ComunicarCertificadoICPBRASIL", 1, "envia o certificado ICP-Brasil",
        {codigo(), arquivo("arquivo com o certificado")},
        AnswerLayout::Common, [](const Invocation& in) {
          return ComunicarCertificadoICPBRASIL(in.sessao, text(in, "codigo"), text(in, "arquivo"));
        }),
    sat("enviar-venda", "EnviarDadosVenda", 2, "registra uma venda (CF-e de entrada, leiaute 0.07)",
        {codigo(), arquivo("XML da venda")},
        AnswerLayout::Sale, [](const Invocation& in) {
          return EnviarDadosVenda(in.sessao, text(in, "codigo"), text(in, "arquivo"));
        }),
    sat("cancelar-venda", "CancelarUltimaVenda", 3, "cancela a última venda",
        {codigo(),
         requiredOption("chave", ValueKind::Text, "CHAVE", "chave de acesso do CF-e a cancelar"),
         arquivo("XML do cancelamento")},
        AnswerLayout::Sale, [](const Invocation& in) {
          return CancelarUltimaVenda(in.sessao, text(in, "codigo"), text(in, "chave"), text(in, "arquivo"));
        }),
    sat("consultar-sat", "ConsultarSAT", 4, "pergunta se o equipamento responde", {},
        AnswerLayout::Common, [](const Invocation& in) { return ConsultarSAT(in.sessao); }),
    sat("teste-fim-a-fim", "TesteFimAFim", 5, "teste fim a fim com um XML de venda",
        {codigo(), arquivo("XML da venda de teste")},
        AnswerLayout::EndToEndTest, [](const Invocation& in) {
          return TesteFimAFim(in.sessao, text(in, "codigo"), text(in, "arquivo"));
        }),
    sat("consultar-status", "ConsultarStatusOperacional", 6, "status operacional (28 campos)", {codigo()},
        AnswerLayout::Status, [](const Invocation& in) {
          return ConsultarStatusOperacional(in.sessao, text(in, "codigo"));
        }),
    sat("consultar-sessao", "ConsultarNumeroSessao", 7, "resposta guardada de uma sessão anterior",
        {codigo(),
         requiredOption("sessao-consultada", ValueKind::Integer, "N", "número da sessão consultada")
             .atLeast(1)},
        AnswerLayout::SessionQuery, [](const Invocation& in) {
          return ConsultarNumeroSessao(in.sessao, text(in, "codigo"), integer(in, "sessao-consultada"));
        }),
    sat("configurar-rede", "ConfigurarInterfaceDeRede", 8, "configura a interface de rede",
        {codigo(), arquivo("XML da configuração de rede")},
        AnswerLayout::Common, [](const Invocation& in) {
          return ConfigurarInterfaceDeRede(in.sessao, text(in, "codigo"), text(in, "arquivo"));
        }),
    sat("associar-assinatura", "AssociarAssinatura", 9, "associa a assinatura do aplicativo comercial",
        {codigo(),
         requiredOption("cnpj", ValueKind::Text, "CNPJS",
                        "CNPJ da software house seguido do CNPJ do contribuinte"),
         requiredOption("assinatura", ValueKind::Text, "ASSINATURA", "assinatura dos CNPJs, em base64")},
        AnswerLayout::Common, [](const Invocation& in) {
          return AssociarAssinatura(in.sessao, text(in, "codigo"), text(in, "cnpj"), text(in, "assinatura"));
        }),
    sat("atualizar-software", "AtualizarSoftwareSAT", 10, "atualiza o software do equipamento", {codigo()},
        AnswerLayout::Common, [](const Invocation& in) {
          return AtualizarSoftwareSAT(in.sessao, text(in, "codigo"));
        }),
    sat("extrair-logs", "ExtrairLogs", 11, "extrai os registros do equipamento", {codigo()},
        AnswerLayout::Logs, [](const Invocation& in) { return ExtrairLogs(in.sessao, text(in, "codigo")); }),
    sat("bloquear", "BloquearSAT", 12, "bloqueia o equipamento", {codigo()},
        AnswerLayout::Common, [](const Invocation& in) { return BloquearSAT(in.sessao, text(in, "codigo")); }),
    sat("desbloquear", "DesbloquearSAT", 13, "desbloqueia o equipamento", {codigo()},
        AnswerLayout::Common, [](const Invocation& in) {
          return DesbloquearSAT(in.sessao, text(in, "codigo"));
        }),
    sat("trocar-codigo", "TrocarCodigoDeAtivacao", 14, "troca o código de ativação",
        {codigo(),
         optionalOption("opcao", ValueKind::Integer, "N",
                        "1 = CODIGO é o código de ativação, 2 = CODIGO é o código de emergência", "1"),
         requiredOption("novo", ValueKind::Text, "NOVO", "novo código de ativação"),
         requiredOption("confirmacao", ValueKind::Text, "NOVO", "o novo código outra vez")},
        AnswerLayout::Common, [](const Invocation& in) {
          return TrocarCodigoDeAtivacao(in.sessao, text(in, "codigo"), integer(in, "opcao"), text(in, "novo"),
                                        text(in, "confirmacao"));
        }),
    sat("consultar-ultima-sessao", "ConsultarUltimaSessaoFiscal", 15, "resposta da última venda ou cancelamento",
        {codigo()},
        AnswerLayout::SessionQuery, [](const Invocation& in) {
          return ConsultarUltimaSessaoFiscal(in.sessao, text(in, "codigo"));
        }),
    // Looks at the system only: no connection is made.
    question("dispositivo-conectado", "DispositivoConectado",
             "diz se o equipamento está plugado; saída 1 quando não está", {}, "conectado", false,
             [](const Invocation&) { return DispositivoConectado(); }, false),
    // 1 is also the answer when the state cannot be read: always a valid answer.
    question("bloqueio", "consultaBloqueio",
             "diz se o equipamento está bloqueado; 1 também quando não se sabe",
             {codigo()}, "bloqueado", true,
             [](const Invocation& in) { return consultaBloqueio(text(in, "codigo")); }, true),
  };
}
// clang-format on

}  // namespace

std::string libraryReason() {
  const char* reason = TivaxlibUltimoErro();
  return reason ? reason : "";
}

const CliOption* Subcommand::findOption(const std::string& optionName) const {
  for (const CliOption& option : options)
    if (option.name == optionName) return &option;
  return nullptr;
}

const std::vector<Subcommand>& subcommands() {
  static const std::vector<Subcommand> table = buildTable();
  return table;
}

const Subcommand* findSubcommand(const std::string& name) {
  for (const Subcommand& subcommand : subcommands())
    if (subcommand.name == name) return &subcommand;
  return nullptr;
}

const std::vector<CliOption>& globalOptions() {
  static const std::vector<CliOption> options = {
      // Six digits on the wire: a wider or negative number would not fit.
      optionalOption("sessao", ValueKind::Integer, "N",
                     "número de sessão do pedido, de 1 a 999999 (padrão: sorteado)")
          .between(1, 999999),
      optionalOption(
          "porta", ValueKind::Text, "CAMINHO",
          "terminal do equipamento, por exemplo /dev/tivax (padrão: procurado pela identidade USB)"),
      flagOption("emulador", "usa um emulador do equipamento, iniciado pelo próprio comando"),
      optionalOption("tempo-limite", ValueKind::Text, "SEGUNDOS",
                     "espera no máximo SEGUNDOS pela resposta e pela vez na porta (TIVAX_TIMEOUT)"),
      flagOption("trace",
                 "registra cada troca com o equipamento na saída de erros, códigos mascarados "
                 "(TIVAX_LOG=stderr, no lugar de um TIVAX_LOG do ambiente)"),
      flagOption("campos", "imprime cada campo da resposta como nome=valor"),
      flagOption("json", "imprime a resposta como um objeto JSON"),
      flagOption("help", "mostra esta ajuda (também -h)"),
      flagOption("version", "mostra a versão"),
  };
  return options;
}

}  // namespace tivaxcli
