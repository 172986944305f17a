// SPDX-License-Identifier: MIT
// Request and return records exchanged between the exported functions and
// the device object: plain values, one pair per SAT function.
#pragma once

#include <cstdint>
#include <string>

namespace Tivaxlib {

struct ativar_sat_t {
  int32_t numeroSessao = 0;
  int32_t subComando = 0;
  std::string codigoDeAtivacao;
  std::string CNPJ;
  int32_t cUF = 0;
};

struct comunicar_certificado_icpbrasil_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  std::string certificado;
};

struct enviar_dados_venda_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  std::string dadosVenda;
};

struct cancelar_ultima_venda_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  std::string chave;
  std::string dadosCancelamento;
};

struct consultar_sat_t {
  int32_t numeroSessao = 0;
};

struct teste_fim_a_fim_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  std::string dadosVenda;
};

struct consultar_numero_sessao_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  int32_t cNumeroDeSessao = 0;
};

struct configurar_interface_rede_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  std::string dadosConfiguracao;
};

struct associar_assinatura_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  std::string CNPJvalue;
  std::string assinaturaCNPJs;
};

// The functions that carry only the activation code share one shape.
struct codigo_only_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
};
struct consultar_status_operacional_t : codigo_only_t {};
struct atualizar_software_t : codigo_only_t {};
struct extrair_log_t : codigo_only_t {};
struct bloquear_sat_t : codigo_only_t {};
struct desbloquear_sat_t : codigo_only_t {};
struct consultar_ultima_sessao_fiscal_t : codigo_only_t {};

struct trocar_codigo_ativacao_t {
  int32_t numeroSessao = 0;
  std::string codigoDeAtivacao;
  int32_t opcao = 0;
  std::string novoCodigo;
  std::string confNovoCodigo;
};

// The five fields every answer starts with.
struct retorno_comum_t {
  int32_t numeroSessao = 0;
  int32_t EEEEE = 0;
  std::string mensagem;
  int32_t cod = 0;
  std::string mensagemSEFAZ;
};

struct ativar_sat_retorno_t : retorno_comum_t {
  std::string CSR;
};
struct comunicar_certificado_icpbrasil_retorno_t : retorno_comum_t {};

// Sale and cancellation answers carry a second code, CCCC, after EEEEE.
struct enviar_dados_venda_retorno_t {
  int32_t numeroSessao = 0;
  int32_t EEEEE = 0;
  int32_t CCCC = 0;
  std::string mensagem;
  int32_t cod = 0;
  std::string mensagemSEFAZ;
  std::string arquivoCFeBase64;
  std::string timeStamp;
  std::string chaveConsulta;
  std::string valorTotalCFe;
  std::string CPFCNPJValue;
  std::string assinaturaQRCODE;
};
struct cancelar_ultima_venda_retorno_t : enviar_dados_venda_retorno_t {};

struct consultar_sat_retorno_t : retorno_comum_t {};
struct teste_fim_a_fim_retorno_t : retorno_comum_t {
  std::string arquivoCFeBase64;
  std::string timeStamp;
  std::string numDocFiscal;
  std::string chaveConsulta;
};
struct consultar_status_operacional_retorno_t : retorno_comum_t {
  std::string dadosStatus;
};
struct consultar_numero_sessao_retorno_t : retorno_comum_t {};
struct configurar_interface_rede_retorno_t : retorno_comum_t {};
struct associar_assinatura_retorno_t : retorno_comum_t {};
struct atualizar_software_retorno_t : retorno_comum_t {};
struct extrair_log_retorno_t : retorno_comum_t {
  std::string arquivoLog;
};
struct bloquear_sat_retorno_t : retorno_comum_t {};
struct desbloquear_sat_retorno_t : retorno_comum_t {};
struct trocar_codigo_ativacao_retorno_t : retorno_comum_t {};
struct consultar_ultima_sessao_fiscal_retorno_t : retorno_comum_t {};

}  // namespace Tivaxlib
