// SPDX-License-Identifier: MIT
#include "cancellation_rules.h"

#include "check_digits.h"
#include "sale_layout.h"

namespace tivaxemu {


Rejection judgeCancellation(const std::string& key, const pugi::xml_node& root,
                            const CancellationContext& context) {
  LayoutFault fault;
  if (!checkCancellationLayout(root, fault)) {
    return layoutRejection(fault.reason, fault.path, fault.value);
  }
  const pugi::xml_node info = root.child("infCFe");
  const std::string named = info.attribute("chCanc").value();
  const std::string digits = key.compare(0, 3, "CFe") == 0 ? key.substr(3) : key;
  if (digits.empty() || zeroOrEmpty(digits))
    return rejectionOf(1270, "chave em branco", "chave de acesso do CF-e a cancelar em branco ou zerada",
                  "chave", key);
  if (!context.haveSale || digits != context.sale.key || named != key)
    return rejectionOf(1412, "última venda",
                  "a chave não é a da última venda emitida por este SAT", "infCFe@chCanc",
                  named);
  if (context.now - context.sale.issuedAt > kCancellationWindow)
    return rejectionOf(1210, "prazo de cancelamento",
                  "venda emitida há mais de 30 minutos (emitida em " + context.sale.dEmi +
                      context.sale.hEmi + ")",
                  "infCFe@chCanc", named);
  if (context.sale.cancelled)
    return rejectionOf(1218, "venda já cancelada", "o CF-e já está cancelado", "infCFe@chCanc", named);
  const pugi::xml_node ide = info.child("ide");
  const std::string cnpj = ide.child_value("CNPJ");
  if (zeroOrEmpty(cnpj) || !validCnpj(cnpj))
    return rejectionOf(1454, "CNPJ da software house", "CNPJ da software house inválido", "ide/CNPJ",
                  cnpj);
  if (blank(ide.child_value("signAC")))
    return rejectionOf(1455, "assinatura do AC", "assinatura do aplicativo comercial vazia",
                  "ide/signAC", ide.child_value("signAC"));
  const pugi::xml_node dest = info.child("dest");
  const std::string& buyer = context.sale.buyer;
  if (dest.child("CNPJ") || buyer.size() == 14) {
    const std::string given = dest.child_value("CNPJ");
    if (given != (buyer.size() == 14 ? buyer : std::string()))
      return rejectionOf(1232, "destinatário da venda",
                    "CNPJ do destinatário difere do CNPJ da venda (" + buyer + ")", "dest/CNPJ",
                    given);
  }
  if (dest.child("CPF") || buyer.size() == 11) {
    const std::string given = dest.child_value("CPF");
    if (given != (buyer.size() == 11 ? buyer : std::string()))
      return rejectionOf(1233, "destinatário da venda",
                    "CPF do destinatário difere do CPF da venda (" + buyer + ")", "dest/CPF",
                    given);
  }
  if (context.clockBehind)
    return rejection(1258, "relógio", "data e hora do SAT anteriores ao último CF-e");
  return Rejection();
}

}  // namespace tivaxemu
