// SPDX-License-Identifier: MIT
// Why an answer line is refused, as the validation rules explain it: every
// refusal has a reason, and every accepted answer none.
#include <gtest/gtest.h>

#include <string>

#include "log/reason.h"
#include "messages/decoded.h"
#include "transactions/transaction.h"

namespace {

using namespace Tivaxlib::Transactions;
using namespace Tivaxlib::Transactions::Messages;

TEST(AnswerReasons, EachRuleSaysWhyItRefuses) {
  EnvioBloquearSAT block;
  block.numeroSessao = 5;
  block.codigoDeAtivacao = "c";
  EnvioConsultarNumeroSessao query;
  query.numeroSessao = 5;
  query.codigoDeAtivacao = "c";
  query.cNumeroDeSessao = 3;
  const struct {
    bool anySession;  // the session queries' rule
    const char* received;
    const char* reason;
  } cases[] = {
      {false, "5|16000|Bloqueado||\n", ""},
      {false, "6|16000|Bloqueado||\n",
       "resposta de outra sessão: a resposta é da sessão 6, e o pedido da sessão 5"},
      {false, "5|00000|x||\n", "resposta sem resultado: o código de retorno é 0"},
      {false, "5|16000|||\n", "resposta sem resultado: a mensagem está vazia"},
      {false, "5|16000\n", "campos insuficientes: a resposta tem 2 campo(s), e são precisos ao menos 3"},
      {false, "x5|16000|Bloqueado\n", "resposta ilegível: o campo 1 (a sessão) não é um número"},
      {false, "5|1600O|Bloqueado\n",
       "resposta ilegível: o campo 2 (o código de retorno) não é um número"},
      {false, "5|99999999999|Bloqueado\n", "resposta ilegível: um número da resposta não cabe em 32 bits"},
      {false, "5|1|x\n5|2|y\n5|3|z\n",
       "resposta ilegível: chegaram três linhas ou mais, e só a resposta, ou o eco e a resposta, são "
       "lidos"},
      // Another session's stored answer is the session query's answer.
      {true, "3|06000|0000|Emitido||\n", ""},
      {true, "5|00000|x||\n", "resposta sem resultado: o código de retorno é 0"},
  };
  for (const auto& c : cases) {
    std::string why;
    bool valid = false;
    if (c.anySession) {
      const auto r = decode<RetornoConsultarNumeroSessao>(query, c.received);
      valid = validateAnySession(r, query);
      why = Tivaxlib::Log::renderReason(explainAnySession(r, query));
    } else {
      const auto r = decode<RetornoBloquearSAT>(block, c.received);
      valid = validateSameSession(r, block);
      why = Tivaxlib::Log::renderReason(explainSameSession(r, block));
    }
    EXPECT_EQ(why, c.reason) << c.received;
    EXPECT_EQ(valid, why.empty()) << c.received;
  }
}

}  // namespace
