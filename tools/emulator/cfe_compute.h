// SPDX-License-Identifier: MIT
// The CF-e the device returns: the input with every value the device
// computes, its identity (ide, emit) and the access key. The signature is
// added afterwards (signer.h).
#pragma once

#include <cstdint>
#include <pugixml.hpp>
#include <string>

#include "sale_rules.h"

namespace tivaxemu {

// The device's own parametrisation: what it writes of the emitter besides
// what the sale carries.
struct Parametrisation {
  std::string cUF = "35";
  std::string serial = "900004019";
  std::string xNome = "EMPRESA DE TESTE DO EMULADOR LTDA";
  std::string xFant = "LOJA DE TESTE";
  std::string xLgr = "RUA DAS PALMEIRAS";
  std::string nro = "100";
  std::string xCpl = "";
  std::string xBairro = "CENTRO";
  std::string xMun = "SAO PAULO";
  std::string CEP = "01001000";
  std::string cRegTrib = "3";
  std::string tpAmb = "2";
  std::string versaoSB = "01.00.00";
};

// One document's identity: its number, random code and time.
struct DocumentStamp {
  std::int64_t nCFe = 0;  // 0 for the test document of TesteFimAFim
  int cNF = 0;            // six random digits
  std::string dEmi;       // AAAAMMDD
  std::string hEmi;       // HHMMSS
};

// cUF, AAMM, CNPJ, 59, serial, nCFe, cNF and the check digit: 44 digits.
std::string accessKey(const Parametrisation& device, const std::string& cnpj,
                      const DocumentStamp& stamp);

// "key|AAAAMMDDHHMMSS|vCFe|CPF or CNPJ": what assinaturaQRCODE signs.
std::string qrCodeData(const std::string& key, const DocumentStamp& stamp,
                       const std::string& total, const std::string& buyer);

// The sale's CF-e, unsigned, on one line without an XML declaration.
std::string saleCfe(const pugi::xml_node& input, const SaleFigures& figures,
                    const Parametrisation& device, const DocumentStamp& stamp,
                    const std::string& key, const std::string& qrSignature);

// What a cancellation document needs of the sale it cancels.
struct CancelledSale {
  std::string key;  // 44 digits
  std::string emitterCnpj, emitterIe, emitterIm;
  std::string buyer;  // CPF or CNPJ, digits; empty when none
  std::string total;  // "12.50"
  std::string dEmi, hEmi;
};

// The cancellation's CF-e, unsigned: its own key and time in ide, the
// sale's key, date, time and total.
std::string cancellationCfe(const pugi::xml_node& input, const CancelledSale& sale,
                            const Parametrisation& device, const DocumentStamp& stamp,
                            const std::string& key, const std::string& qrSignature);

}  // namespace tivaxemu
