#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes a sale with many items (500 by default, the most one sale may
# hold) to standard output. The items cycle through a small list of
# products; header, issuer and payment are those of venda-minima.xml.
#   ./gerar-500-itens.sh > venda-500-itens.xml
#   ./gerar-500-itens.sh 120 > venda-120-itens.xml
set -euo pipefail

items=${1:-500}
here=$(dirname "$0")
sign=$(sed -n 's:.*<signAC>\(.*\)</signAC>.*:\1:p' "$here/venda-minima.xml")

# code|EAN|description|NCM|unit|quantity|unit price (cents)
products=(
  "0001|7890000000017|Café torrado e moído 500 g|09012100|UN|1|1890"
  "0002|7890000000024|Leite integral 1 L|04012010|UN|6|549"
  "0003|7890000000031|Açúcar refinado 1 kg|17019900|UN|2|499"
  "0004|7890000000048|Feijão carioca 1 kg|07133399|UN|1|829"
  "0005|7890000000055|Macarrão espaguete 500 g|19021900|UN|3|389"
  "0006|7890000000062|Sabão em pó 1,6 kg|34022000|UN|1|2190"
  "0007|7890000000079|Banana prata|08039000|KG|1|699"
)

money() { printf '%d.%02d' $(($1 / 100)) $(($1 % 100)); }

cat <<HEAD
<?xml version="1.0" encoding="UTF-8"?>
<CFe>
  <infCFe versaoDadosEnt="0.07">
    <ide>
      <CNPJ>21436587000156</CNPJ>
      <signAC>$sign</signAC>
      <numeroCaixa>003</numeroCaixa>
    </ide>
    <emit>
      <CNPJ>58473629000139</CNPJ>
      <IE>614253698117</IE>
      <indRatISSQN>N</indRatISSQN>
    </emit>
    <dest/>
HEAD

total=0
for ((n = 1; n <= items; n++)); do
  IFS='|' read -r code ean name ncm unit qty price <<<"${products[$(((n - 1) % ${#products[@]}))]}"
  amount=$((qty * price))
  total=$((total + amount))
  cat <<ITEM
    <det nItem="$n">
      <prod>
        <cProd>$code</cProd>
        <cEAN>$ean</cEAN>
        <xProd>$name</xProd>
        <NCM>$ncm</NCM>
        <CFOP>5102</CFOP>
        <uCom>$unit</uCom>
        <qCom>$qty.0000</qCom>
        <vUnCom>$(money "$price")</vUnCom>
        <indRegra>A</indRegra>
      </prod>
      <imposto>
        <ICMS>
          <ICMS00>
            <Orig>0</Orig>
            <CST>00</CST>
            <pICMS>18.00</pICMS>
          </ICMS00>
        </ICMS>
        <PIS>
          <PISAliq>
            <CST>01</CST>
            <vBC>$(money "$amount")</vBC>
            <pPIS>0.0165</pPIS>
          </PISAliq>
        </PIS>
        <COFINS>
          <COFINSAliq>
            <CST>01</CST>
            <vBC>$(money "$amount")</vBC>
            <pCOFINS>0.0760</pCOFINS>
          </COFINSAliq>
        </COFINS>
      </imposto>
    </det>
ITEM
done

cat <<TAIL
    <total/>
    <pgto>
      <MP>
        <cMP>01</cMP>
        <vMP>$(money "$total")</vMP>
      </MP>
    </pgto>
  </infCFe>
</CFe>
TAIL
