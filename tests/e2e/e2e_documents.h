// SPDX-License-Identifier: MIT
// Documents the end-to-end tests send.
#pragma once

#include <string>

namespace tivaxe2e {

// A small valid sale (CF-e input layout 0.07) on one line: the library
// sends it as it stands.
inline const std::string kSale =
    "<CFe><infCFe versaoDadosEnt=\"0.07\">"
    "<ide><CNPJ>21436587000156</CNPJ><signAC>assinaturaAC</signAC>"
    "<numeroCaixa>001</numeroCaixa></ide>"
    "<emit><CNPJ>58473629000139</CNPJ><IE>614253698117</IE><indRatISSQN>N</indRatISSQN></emit>"
    "<dest><CPF>12345678909</CPF></dest>"
    "<det nItem=\"1\"><prod><cProd>0001</cProd><xProd>Café 500 g</xProd><CFOP>5102</CFOP>"
    "<uCom>UN</uCom><qCom>2.0000</qCom><vUnCom>18.90</vUnCom><indRegra>A</indRegra></prod>"
    "<imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS>"
    "<PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS>"
    "</imposto></det>"
    "<total/><pgto><MP><cMP>01</cMP><vMP>40.00</vMP></MP></pgto></infCFe></CFe>";

// The key the emulated device gives the first CF-e of a fresh state with
// the device clock of the tests (November 2023) and the issuer of kSale.
inline const std::string kFirstKey = "CFe35231158473629000139599000040190000011126482";

inline const std::string kCancellation =
    "<CFeCanc><infCFe chCanc=\"" + kFirstKey + "\"><ide><CNPJ>21436587000156</CNPJ>"
    "<signAC>assinaturaAC</signAC><numeroCaixa>001</numeroCaixa></ide>"
    "<emit/><dest/><total/></infCFe></CFeCanc>";

}  // namespace tivaxe2e
