// SPDX-License-Identifier: MIT
#include "cfe_compute.h"

#include <cstring>
#include <sstream>

#include "check_digits.h"
#include "fixed_point.h"

namespace tivaxemu {

namespace {

// The largest value the output layout has room for (13 integer digits).
const std::int64_t kMaxCents = 999999999999999;

std::int64_t valueOf(const pugi::xml_node& node, int scale) {
  std::int64_t v = 0;
  return node && parseFixed(node.child_value(), scale, v) ? v : 0;
}

// A PIS or COFINS value: base × rate (the rate a fraction as given), or
// quantity × amount per unit; rounded once to cents. False when the group
// carries neither pair.
bool contributionValue(const pugi::xml_node& group, const char* rateName, std::int64_t& cents) {
  if (group.child("vBC") && group.child(rateName))
    return mulDivRound(valueOf(group.child("vBC"), 2), valueOf(group.child(rateName), 4), 10000,
                       cents);
  if (group.child("qBCProd") && group.child("vAliqProd"))
    return mulDivRound(valueOf(group.child("qBCProd"), 4), valueOf(group.child("vAliqProd"), 4),
                       1000000, cents);
  return false;
}

Rejection tooLarge(const std::string& element) {
  return rejection(1999, "valor calculado",
                   "erro não identificado: valor calculado excede o leiaute", element);
}

Rejection negativeResult(const std::string& element, std::int64_t cents) {
  return rejectionOf(1998, "valor calculado negativo", "a venda resultaria em valor negativo",
                     element, formatFixed(cents, 2));
}

bool inRange(std::int64_t cents) { return cents >= -kMaxCents && cents <= kMaxCents; }

pugi::xml_node addText(pugi::xml_node parent, const char* name, const std::string& value) {
  pugi::xml_node node = parent.append_child(name);
  node.text().set(value.c_str());
  return node;
}

pugi::xml_node insertTextAfter(pugi::xml_node parent, pugi::xml_node after, const char* name,
                               const std::string& value) {
  pugi::xml_node node = after ? parent.insert_child_after(name, after) : parent.prepend_child(name);
  node.text().set(value.c_str());
  return node;
}

std::string money(std::int64_t cents) { return formatFixed(cents, 2); }

std::string zeroFilled(std::int64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

// ide as the device writes it: its identity around the three fields the
// application sent.
void writeIde(pugi::xml_node ide, const pugi::xml_node& input, const Parametrisation& device,
              const DocumentStamp& stamp, const std::string& key, const std::string& qrSignature,
              bool sale) {
  addText(ide, "cUF", device.cUF);
  addText(ide, "cNF", zeroFilled(stamp.cNF, 6));
  addText(ide, "mod", "59");
  addText(ide, "nserieSAT", device.serial);
  addText(ide, "nCFe", zeroFilled(stamp.nCFe % 1000000, 6));
  addText(ide, "dEmi", stamp.dEmi);
  addText(ide, "hEmi", stamp.hEmi);
  addText(ide, "cDV", key.substr(43, 1));
  if (sale) addText(ide, "tpAmb", device.tpAmb);
  addText(ide, "CNPJ", input.child_value("CNPJ"));
  addText(ide, "signAC", input.child_value("signAC"));
  addText(ide, "assinaturaQRCODE", qrSignature);
  addText(ide, "numeroCaixa", input.child_value("numeroCaixa"));
}

void writeEmitter(pugi::xml_node emit, const Parametrisation& device) {
  addText(emit, "xNome", device.xNome);
  if (!device.xFant.empty()) addText(emit, "xFant", device.xFant);
  pugi::xml_node address = emit.append_child("enderEmit");
  addText(address, "xLgr", device.xLgr);
  addText(address, "nro", device.nro);
  if (!device.xCpl.empty()) addText(address, "xCpl", device.xCpl);
  addText(address, "xBairro", device.xBairro);
  addText(address, "xMun", device.xMun);
  addText(address, "CEP", device.CEP);
}

std::string serialise(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, "", pugi::format_raw | pugi::format_no_declaration);
  return out.str();
}

void setInfoAttributes(pugi::xml_node info, const std::string& key, const std::string& version) {
  info.remove_attribute("Id");
  info.prepend_attribute("Id").set_value(("CFe" + key).c_str());
  info.insert_attribute_after("versao", info.attribute("Id")).set_value(version.c_str());
}

void computeItemTaxes(const pugi::xml_node& tax, ItemFigures& item, bool& ok) {
  const pugi::xml_node icms = tax.child("ICMS").first_child();
  if (icms.child("pICMS")) {
    item.hasICMSValue = true;
    ok = ok && mulDivRound(item.vItem, valueOf(icms.child("pICMS"), 2), 10000, item.vICMS);
  }
  item.hasPIS = contributionValue(tax.child("PIS").first_child(), "pPIS", item.vPIS);
  item.hasPISST = contributionValue(tax.child("PISST"), "pPIS", item.vPISST);
  item.hasCOFINS = contributionValue(tax.child("COFINS").first_child(), "pCOFINS", item.vCOFINS);
  item.hasCOFINSST = contributionValue(tax.child("COFINSST"), "pCOFINS", item.vCOFINSST);
  const pugi::xml_node iss = tax.child("ISSQN");
  if (iss) {
    item.issBase = item.vItem - valueOf(iss.child("vDeducISSQN"), 2);
    ok = ok && mulDivRound(item.issBase, valueOf(iss.child("vAliq"), 2), 10000, item.vISSQN);
  }
}

}  // namespace

Rejection computeSale(const pugi::xml_node& info, SaleFigures& f) {
  f = SaleFigures();
  const pugi::xml_node adjust = info.child("total").child("DescAcrEntr");
  f.discount = adjust.child("vDescSubtot");
  f.increase = adjust.child("vAcresSubtot");
  f.vDescSubtot = valueOf(adjust.child("vDescSubtot"), 2);
  f.vAcresSubtot = valueOf(adjust.child("vAcresSubtot"), 2);
  const bool serviceShares = std::strcmp(info.child("emit").child_value("indRatISSQN"), "S") == 0;

  // vProd: quantity (4 decimals) × unit value (3 decimals) to cents,
  // rounded (A) or truncated (T).
  std::vector<std::int64_t> net;
  std::vector<pugi::xml_node> dets;
  int item = 0;
  for (pugi::xml_node det = info.child("det"); det; det = det.next_sibling("det")) {
    dets.push_back(det);
    const std::string at = "det[" + std::to_string(++item) + "]";
    const pugi::xml_node prod = det.child("prod");
    ItemFigures figures;
    figures.service = det.child("imposto").child("ISSQN");
    const std::int64_t q = valueOf(prod.child("qCom"), 4), u = valueOf(prod.child("vUnCom"), 3);
    const bool rounded = std::strcmp(prod.child_value("indRegra"), "A") == 0;
    if (!(rounded ? mulDivRound(q, u, 100000, figures.vProd)
                  : mulDivTruncate(q, u, 100000, figures.vProd)) ||
        !inRange(figures.vProd))
      return tooLarge(at + "/prod/vProd");
    figures.vDesc = valueOf(prod.child("vDesc"), 2);
    figures.vOutro = valueOf(prod.child("vOutro"), 2);
    net.push_back(figures.vProd - figures.vDesc + figures.vOutro);
    f.items.push_back(figures);
  }

  // The subtotal discount or increase, in proportion to the items' net
  // values; the last item taking part gets what rounding left. Service
  // items take part only when indRatISSQN is S; when no item takes part,
  // all do.
  std::vector<std::size_t> shares;
  for (std::size_t i = 0; i < f.items.size(); ++i)
    if (!f.items[i].service || serviceShares) shares.push_back(i);
  if (shares.empty())
    for (std::size_t i = 0; i < f.items.size(); ++i) shares.push_back(i);
  std::int64_t base = 0;
  for (std::size_t i : shares) base += net[i];
  const std::int64_t adjustment = f.discount ? f.vDescSubtot : f.vAcresSubtot;
  std::int64_t given = 0;
  for (std::size_t k = 0; k < shares.size() && (f.discount || f.increase); ++k) {
    std::int64_t share = 0;
    if (k + 1 == shares.size())
      share = adjustment - given;
    else if (base > 0 && !mulDivRound(adjustment, net[shares[k]], base, share))
      return tooLarge("total/DescAcrEntr");
    given += share;
    f.items[shares[k]].shares = true;
    (f.discount ? f.items[shares[k]].vRatDesc : f.items[shares[k]].vRatAcr) = share;
  }

  for (std::size_t i = 0; i < f.items.size(); ++i) {
    ItemFigures& it = f.items[i];
    const std::string at = "det[" + std::to_string(i + 1) + "]";
    it.vItem = net[i] - it.vRatDesc + it.vRatAcr;
    if (!inRange(it.vItem)) return tooLarge(at + "/prod/vItem");
    if (it.vItem < 0) return negativeResult(at + "/prod/vItem", it.vItem);
    bool ok = true;
    computeItemTaxes(dets[i].child("imposto"), it, ok);
    if (!ok) return tooLarge(at + "/imposto");
    if (it.service && it.issBase < 0)
      return negativeResult(at + "/imposto/ISSQN/vBC", it.issBase);
    f.vICMS += it.vICMS;
    f.vProd += it.vProd;
    f.vDesc += it.vDesc;
    f.vOutro += it.vOutro;
    f.vPIS += it.vPIS;
    f.vCOFINS += it.vCOFINS;
    f.vPISST += it.vPISST;
    f.vCOFINSST += it.vCOFINSST;
    f.vCFe += it.vItem;
    if (it.service) {
      f.anyService = true;
      f.issBC += it.issBase;
      f.vISS += it.vISSQN;
      f.issPIS += it.vPIS;
      f.issCOFINS += it.vCOFINS;
      f.issPISST += it.vPISST;
      f.issCOFINSST += it.vCOFINSST;
    }
  }
  if (!inRange(f.vCFe)) return tooLarge("total/vCFe");
  if (f.vCFe < 0) return negativeResult("total/vCFe", f.vCFe);
  for (pugi::xml_node mp = info.child("pgto").child("MP"); mp; mp = mp.next_sibling("MP"))
    f.payments += valueOf(mp.child("vMP"), 2);
  if (f.vCFe > f.payments)
    return rejection(1408, "pagamentos insuficientes",
                     "valor total do CF-e (" + money(f.vCFe) +
                         ") maior que a soma dos pagamentos (" + money(f.payments) + ")",
                     "pgto");
  f.vTroco = f.payments - f.vCFe;
  return Rejection();
}

std::string accessKey(const Parametrisation& device, const std::string& cnpj,
                      const DocumentStamp& stamp) {
  const std::string body = device.cUF + stamp.dEmi.substr(2, 4) + cnpj + "59" + device.serial +
                           zeroFilled(stamp.nCFe % 1000000, 6) + zeroFilled(stamp.cNF, 6);
  return body + accessKeyCheckDigit(body);
}

std::string qrCodeData(const std::string& key, const DocumentStamp& stamp,
                       const std::string& total, const std::string& buyer) {
  return key + "|" + stamp.dEmi + stamp.hEmi + "|" + total + "|" + buyer;
}

std::string saleCfe(const pugi::xml_node& input, const SaleFigures& f,
                    const Parametrisation& device, const DocumentStamp& stamp,
                    const std::string& key, const std::string& qrSignature) {
  pugi::xml_document document;
  const pugi::xml_node root = document.append_copy(input);
  pugi::xml_node info = root.child("infCFe");
  const std::string version = info.attribute("versaoDadosEnt").value();
  setInfoAttributes(info, key, version);
  // The software version as six digits ("01.00.00" -> "010000").
  std::string softwareVersion;
  for (char c : device.versaoSB)
    if (c != '.') softwareVersion += c;
  info.append_attribute("versaoSB").set_value(softwareVersion.c_str());

  const pugi::xml_node oldIde = info.child("ide");
  pugi::xml_node ide = info.insert_child_before("ide", oldIde);
  writeIde(ide, oldIde, device, stamp, key, qrSignature, true);
  info.remove_child(oldIde);

  const pugi::xml_node oldEmit = info.child("emit");
  pugi::xml_node emit = info.insert_child_after("emit", ide);
  addText(emit, "CNPJ", oldEmit.child_value("CNPJ"));
  writeEmitter(emit, device);
  addText(emit, "IE", oldEmit.child_value("IE"));
  if (oldEmit.child("IM")) addText(emit, "IM", oldEmit.child_value("IM"));
  addText(emit, "cRegTrib", device.cRegTrib);
  if (oldEmit.child("cRegTribISSQN"))
    addText(emit, "cRegTribISSQN", oldEmit.child_value("cRegTribISSQN"));
  addText(emit, "indRatISSQN", oldEmit.child_value("indRatISSQN"));
  info.remove_child(oldEmit);

  std::size_t i = 0;
  for (pugi::xml_node det = info.child("det"); det; det = det.next_sibling("det"), ++i) {
    const ItemFigures& it = f.items[i];
    pugi::xml_node prod = det.child("prod");
    insertTextAfter(prod, prod.child("vUnCom"), "vProd", money(it.vProd));
    pugi::xml_node anchor = prod.child("vOutro") ? prod.child("vOutro")
                            : prod.child("vDesc") ? prod.child("vDesc")
                                                  : prod.child("indRegra");
    anchor = insertTextAfter(prod, anchor, "vItem", money(it.vItem));
    if (f.discount && it.shares) insertTextAfter(prod, anchor, "vRatDesc", money(it.vRatDesc));
    if (f.increase && it.shares) insertTextAfter(prod, anchor, "vRatAcr", money(it.vRatAcr));

    pugi::xml_node tax = det.child("imposto");
    if (it.hasICMSValue) addText(tax.child("ICMS").first_child(), "vICMS", money(it.vICMS));
    if (it.hasPIS) addText(tax.child("PIS").first_child(), "vPIS", money(it.vPIS));
    if (it.hasPISST) addText(tax.child("PISST"), "vPIS", money(it.vPISST));
    if (it.hasCOFINS) addText(tax.child("COFINS").first_child(), "vCOFINS", money(it.vCOFINS));
    if (it.hasCOFINSST) addText(tax.child("COFINSST"), "vCOFINS", money(it.vCOFINSST));
    pugi::xml_node iss = tax.child("ISSQN");
    if (iss) {
      insertTextAfter(iss, iss.child("vDeducISSQN"), "vBC", money(it.issBase));
      insertTextAfter(iss, iss.child("vAliq"), "vISSQN", money(it.vISSQN));
    }
  }

  pugi::xml_node oldTotal = info.child("total");
  pugi::xml_node total = info.insert_child_before("total", oldTotal);
  pugi::xml_node icmsTot = total.append_child("ICMSTot");
  const std::pair<const char*, std::int64_t> icmsTotals[] = {
      {"vICMS", f.vICMS}, {"vProd", f.vProd}, {"vDesc", f.vDesc},
      {"vPIS", f.vPIS},   {"vCOFINS", f.vCOFINS}, {"vPISST", f.vPISST},
      {"vCOFINSST", f.vCOFINSST}, {"vOutro", f.vOutro}};
  for (const auto& t : icmsTotals) addText(icmsTot, t.first, money(t.second));
  addText(total, "vCFe", money(f.vCFe));
  if (f.anyService) {
    pugi::xml_node issTot = total.append_child("ISSQNtot");
    const std::pair<const char*, std::int64_t> issTotals[] = {
        {"vBC", f.issBC},   {"vISS", f.vISS},         {"vPIS", f.issPIS},
        {"vCOFINS", f.issCOFINS}, {"vPISST", f.issPISST}, {"vCOFINSST", f.issCOFINSST}};
    for (const auto& t : issTotals) addText(issTot, t.first, money(t.second));
  }
  for (pugi::xml_node kept = oldTotal.first_child(); kept; kept = kept.next_sibling())
    total.append_copy(kept);
  info.remove_child(oldTotal);

  addText(info.child("pgto"), "vTroco", money(f.vTroco));
  return serialise(document);
}

std::string cancellationCfe(const pugi::xml_node& input, const CancelledSale& sale,
                            const Parametrisation& device, const DocumentStamp& stamp,
                            const std::string& key, const std::string& qrSignature) {
  pugi::xml_document document;
  pugi::xml_node info = document.append_child("CFeCanc").append_child("infCFe");
  setInfoAttributes(info, key, "0.07");
  info.append_attribute("chCanc").set_value(("CFe" + sale.key).c_str());
  addText(info, "dEmi", sale.dEmi);
  addText(info, "hEmi", sale.hEmi);
  const pugi::xml_node given = input.child("infCFe");
  writeIde(info.append_child("ide"), given.child("ide"), device, stamp, key, qrSignature, false);
  pugi::xml_node emit = info.append_child("emit");
  addText(emit, "CNPJ", sale.emitterCnpj);
  writeEmitter(emit, device);
  addText(emit, "IE", sale.emitterIe);
  if (!sale.emitterIm.empty()) addText(emit, "IM", sale.emitterIm);
  pugi::xml_node dest = info.append_child("dest");
  if (sale.buyer.size() == 14) addText(dest, "CNPJ", sale.buyer);
  if (sale.buyer.size() == 11) addText(dest, "CPF", sale.buyer);
  addText(info.append_child("total"), "vCFe", sale.total);
  if (given.child("infAdic")) info.append_copy(given.child("infAdic"));
  return serialise(document);
}

}  // namespace tivaxemu
