// SPDX-License-Identifier: MIT
// What the device reads out of a sale document to answer it: who sells, who
// buys and how much. It checks nothing beyond the document being XML; the
// library has already checked the layout.
#pragma once

#include <cstdint>
#include <string>

namespace tivaxemu {

struct SaleSummary {
  std::string emitterCnpj;  // digits only; empty when absent
  std::string buyerId;      // the buyer's CPF or CNPJ, digits only
  std::int64_t totalCents = 0;
  std::size_t items = 0;
  // What the signed document carries over from the sale: its numeroCaixa
  // and its det and pgto elements, as XML.
  std::string checkoutXml;
  std::string contentXml;
};

// False when the text is not an XML document with a root element.
bool summariseSale(const std::string& xml, SaleSummary& summary);

// "12.50" for 1250.
std::string formatCents(std::int64_t cents);

// Keeps the ASCII digits of a text.
std::string digitsOf(const std::string& text);

}  // namespace tivaxemu
