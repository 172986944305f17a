// SPDX-License-Identifier: MIT
// How the device judges a sale (EnviarDadosVenda, TesteFimAFim): the input
// layout first, then each field rule in document order, then the computed
// totals. The first rule broken is the answer, with its rejection code
// (CCCC) and a message that names the element and the value at fault.
#pragma once

#include <cstdint>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace tivaxemu {

struct Rejection {
  int code = 0;         // CCCC; 0: accepted
  std::string text;     // what is wrong, in Portuguese
  std::string element;  // "dest/CPF"; empty when the rule names none
  std::string value;    // the value at fault
  std::string rule;     // the rule, for --verbose
  bool hasValue = false;

  // "Rejeição 1237: CPF do destinatário com dígito verificador inválido
  // (dest/CPF = 12345678900)".
  std::string message() const;
};

// A rejection with no value shown, and one that shows the value at fault.
Rejection rejection(int code, std::string rule, std::string text, std::string element = "");
Rejection rejectionOf(int code, std::string rule, std::string text, std::string element,
                      std::string value);
// The 1999 answer for a document outside the layout.
Rejection layoutRejection(const std::string& reason, const std::string& element,
                          const std::string& value);
// Empty or only spaces, tabs and line ends.
bool blank(const char* text);

// What the device knows that a sale is judged against.
struct SaleContext {
  std::string taxpayerCnpj;       // empty: any emitter is the taxpayer
  std::string stateRegistration;  // empty: no IE parametrised yet
  bool clockBehind = false;       // the clock is earlier than the last CF-e
};

// The values the device computes, in cents unless said otherwise.
struct ItemFigures {
  bool service = false;  // taxed by ISSQN
  bool shares = false;   // takes part in the subtotal discount or increase
  std::int64_t vProd = 0, vDesc = 0, vOutro = 0, vRatDesc = 0, vRatAcr = 0, vItem = 0;
  std::int64_t vICMS = 0;
  bool hasICMSValue = false;  // ICMS00 and ICMSSN900 carry vICMS
  std::int64_t vPIS = 0, vCOFINS = 0, vPISST = 0, vCOFINSST = 0;
  bool hasPIS = false, hasCOFINS = false, hasPISST = false, hasCOFINSST = false;
  std::int64_t issBase = 0, vISSQN = 0;
};

struct SaleFigures {
  std::vector<ItemFigures> items;
  std::int64_t vDescSubtot = 0, vAcresSubtot = 0;
  bool discount = false, increase = false;
  // ICMSTot: over every item.
  std::int64_t vICMS = 0, vProd = 0, vDesc = 0, vOutro = 0;
  std::int64_t vPIS = 0, vCOFINS = 0, vPISST = 0, vCOFINSST = 0;
  // ISSQNtot: over the service items.
  bool anyService = false;
  std::int64_t issBC = 0, vISS = 0, issPIS = 0, issCOFINS = 0, issPISST = 0, issCOFINSST = 0;
  std::int64_t vCFe = 0, payments = 0, vTroco = 0;
};

// The layouts the device takes; the last is the current one.
extern const char* const kSaleLayouts[2];

// Judges the sale under `root` (the CFe element); when it passes, fills
// `figures`. A document that is not well-formed XML is the caller's.
Rejection judgeSale(const pugi::xml_node& root, const SaleContext& context, SaleFigures& figures);

// The computations alone, on a sale that passed the field rules. Sets a
// 1998 or 1408 rejection when the figures cannot stand.
Rejection computeSale(const pugi::xml_node& info, SaleFigures& figures);

}  // namespace tivaxemu
