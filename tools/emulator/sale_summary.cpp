// SPDX-License-Identifier: MIT
#include "sale_summary.h"

#include <cmath>
#include <cstdlib>
#include <pugixml.hpp>
#include <sstream>

namespace tivaxemu {

namespace {

// Totals beyond this are nonsense for a receipt; clamping keeps the
// arithmetic defined whatever numbers a document holds.
const double kMaxCents = 1e15;

double number(const pugi::xml_node& parent, const char* name) {
  const char* text = parent.child(name).child_value();
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return std::isfinite(value) ? value : 0.0;
}

double clampCents(double cents) {
  if (!(cents > -kMaxCents)) return -kMaxCents;
  return cents < kMaxCents ? cents : kMaxCents;
}

}  // namespace

std::string digitsOf(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c >= '0' && c <= '9') digits += c;
  return digits;
}

std::string formatCents(std::int64_t cents) {
  std::string sign = cents < 0 ? "-" : "";
  const std::uint64_t magnitude =
      cents < 0 ? std::uint64_t(-(cents + 1)) + 1 : std::uint64_t(cents);
  std::string fraction = std::to_string(magnitude % 100);
  if (fraction.size() < 2) fraction.insert(0, 1, '0');
  return sign + std::to_string(magnitude / 100) + "." + fraction;
}

bool summariseSale(const std::string& xml, SaleSummary& summary) {
  summary = SaleSummary();
  pugi::xml_document document;
  if (!document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8))
    return false;
  if (!document.document_element()) return false;
  const pugi::xml_node sale = document.document_element().child("infCFe");
  summary.emitterCnpj = digitsOf(sale.child("emit").child_value("CNPJ"));
  const pugi::xml_node buyer = sale.child("dest");
  summary.buyerId = digitsOf(buyer.child("CPF") ? buyer.child_value("CPF")
                                                : buyer.child_value("CNPJ"));
  std::ostringstream checkout, content;
  sale.child("ide").child("numeroCaixa").print(checkout, "", pugi::format_raw);
  for (pugi::xml_node item = sale.child("det"); item; item = item.next_sibling("det"))
    item.print(content, "", pugi::format_raw);
  sale.child("pgto").print(content, "", pugi::format_raw);
  summary.checkoutXml = checkout.str();
  summary.contentXml = content.str();
  double cents = 0;
  for (pugi::xml_node item = sale.child("det"); item; item = item.next_sibling("det")) {
    const pugi::xml_node product = item.child("prod");
    const double line = number(product, "qCom") * number(product, "vUnCom") -
                        number(product, "vDesc") + number(product, "vOutro");
    cents = clampCents(cents + clampCents(std::round(line * 100)));
    ++summary.items;
  }
  summary.totalCents = static_cast<std::int64_t>(cents < 0 ? 0 : cents);
  return true;
}

}  // namespace tivaxemu
