// SPDX-License-Identifier: MIT
#include "sale_rules.h"

#include <cstring>
#include <regex>
#include <set>

#include "check_digits.h"
#include "fixed_point.h"
#include "sale_layout.h"

namespace tivaxemu {

const char* const kSaleLayouts[2] = {"0.07", "0.08"};

Rejection rejection(int code, std::string rule, std::string text, std::string element) {
  Rejection r;
  r.code = code;
  r.rule = std::move(rule);
  r.text = std::move(text);
  r.element = std::move(element);
  return r;
}

Rejection rejectionOf(int code, std::string rule, std::string text, std::string element,
                      std::string value) {
  Rejection r = rejection(code, std::move(rule), std::move(text), std::move(element));
  r.value = std::move(value);
  r.hasValue = true;
  return r;
}

Rejection layoutRejection(const std::string& reason, const std::string& element,
                          const std::string& value) {
  Rejection r = rejection(1999, "leiaute", "erro não identificado: " + reason, element);
  r.value = value;
  r.hasValue = !value.empty();
  return r;
}

bool blank(const char* text) {
  for (; *text; ++text)
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
  return true;
}

std::string Rejection::message() const {
  std::string m = "Rejeição " + std::to_string(code) + ": " + text;
  if (!element.empty()) m += " (" + element + (hasValue ? " = " + value : std::string()) + ")";
  return m;
}

namespace {

// The code sets of the tables the device applies.
const std::set<std::string> kIcms00Csts = {"00", "01", "12", "13", "14", "20",
                                           "21", "72", "73", "74", "90"};
const std::set<std::string> kIcms40Csts = {"30", "40", "41", "50", "60", "61"};
const std::set<std::string> kIcmsSn102Csosns = {"102", "300", "400", "500"};
const std::set<std::string> kPaymentCodes = {"01", "02", "03", "04", "05", "10", "11", "12",
                                             "13", "15", "16", "17", "18", "19", "90", "99"};

// PIS and COFINS share their groups and rules; only the names and codes
// differ.
struct ContributionGroup {
  const char* suffix;             // "Aliq", "Qtde", "NT", "SN", "Outr"
  std::set<std::string> csts;
  int pisCode, cofinsCode;        // the CST rule
};
const ContributionGroup kContributionGroups[] = {
    {"Aliq", {"01", "02", "05"}, 1478, 1490},
    {"Qtde", {"03"}, 1482, 1494},
    {"NT", {"04", "06", "07", "08", "09"}, 1486, 1498},
    {"SN", {"49"}, 1487, 1499},
    {"Outr", {"99"}, 1488, 1500},
};
// The value rules: vBC, the rate, qBCProd, vAliqProd negative.
struct ContributionValues {
  int vBC, rate, qBCProd, vAliqProd;  // 0: no rule
};
const ContributionValues kPisValues = {1479, 1480, 1483, 1484};
const ContributionValues kCofinsValues = {1491, 1492, 0, 1496};

// A decimal that the layout already let through; a minus sign is what the
// rules look for.
bool negative(const pugi::xml_node& node) { return node && node.child_value()[0] == '-'; }

// Walks the sale in document order; each check returns false once a rule
// is broken, with the rejection set.
class Judge {
 public:
  Judge(const SaleContext& context, Rejection& result) : context(context), result(result) {}

  bool ide(const pugi::xml_node& ide);
  bool emit(const pugi::xml_node& emit);
  bool dest(const pugi::xml_node& dest);
  bool item(const pugi::xml_node& det, int expected, bool emitterHasIm);
  bool total(const pugi::xml_node& total);
  bool payments(const pugi::xml_node& pgto);

 private:
  bool fail(int code, const char* rule, const char* text, const std::string& element,
            const char* value) {
    result = rejectionOf(code, rule, text, element, value);
    return false;
  }
  bool notNegative(const pugi::xml_node& node, int code, const char* text,
                   const std::string& element) {
    return !negative(node) || fail(code, "valor negativo", text, element, node.child_value());
  }
  bool prod(const pugi::xml_node& prod, const std::string& at);
  bool icms(const pugi::xml_node& icms, const std::string& at);
  bool issqn(const pugi::xml_node& issqn, const std::string& at, bool emitterHasIm);
  bool contribution(const pugi::xml_node& group, const char* tax, const std::string& at);

  const SaleContext& context;
  Rejection& result;
};

bool Judge::ide(const pugi::xml_node& ide) {
  const char* cnpj = ide.child_value("CNPJ");
  if (zeroOrEmpty(cnpj) || !validCnpj(cnpj))
    return fail(1224, "CNPJ da software house", "CNPJ da software house inválido", "ide/CNPJ",
                cnpj);
  // The device cannot verify the signature offline; it only sees whether
  // there is one.
  const char* signAC = ide.child_value("signAC");
  if (blank(signAC))
    return fail(1455, "assinatura do AC", "assinatura do aplicativo comercial vazia",
                "ide/signAC", signAC);
  return true;
}

bool Judge::emit(const pugi::xml_node& emit) {
  const char* cnpj = emit.child_value("CNPJ");
  if (zeroOrEmpty(cnpj) || !validCnpj(cnpj))
    return fail(1207, "CNPJ do emitente", "CNPJ do emitente inválido", "emit/CNPJ", cnpj);
  if (!context.taxpayerCnpj.empty() && context.taxpayerCnpj != cnpj)
    return fail(1203, "contribuinte ativado",
                "CNPJ do emitente difere do contribuinte para o qual o SAT foi ativado",
                "emit/CNPJ", cnpj);
  const char* ie = emit.child_value("IE");
  if (zeroOrEmpty(ie))
    return fail(1229, "IE do emitente", "IE do emitente não informada", "emit/IE", ie);
  if (!context.stateRegistration.empty() && context.stateRegistration != ie)
    return fail(1230, "IE parametrizada", "IE do emitente difere da IE parametrizada no SAT",
                "emit/IE", ie);
  const pugi::xml_node regime = emit.child("cRegTribISSQN");
  if (regime && (std::strlen(regime.child_value()) != 1 || regime.child_value()[0] < '1' ||
                 regime.child_value()[0] > '5'))
    return fail(1457, "regime especial de tributação do ISSQN",
                "cRegTribISSQN deve ser de 1 a 5", "emit/cRegTribISSQN", regime.child_value());
  const std::string rat = emit.child_value("indRatISSQN");
  if (rat != "S" && rat != "N")
    return fail(1507, "rateio do desconto no ISSQN", "indRatISSQN deve ser S ou N",
                "emit/indRatISSQN", rat.c_str());
  return true;
}

bool Judge::dest(const pugi::xml_node& dest) {
  const pugi::xml_node cnpj = dest.child("CNPJ");
  if (cnpj) {
    const char* value = cnpj.child_value();
    if (zeroOrEmpty(value) || !validCnpj(value))
      return fail(1235, "CNPJ do destinatário",
                  "CNPJ do destinatário com dígito verificador inválido", "dest/CNPJ", value);
    if (std::strcmp(value, dest.parent().child("emit").child_value("CNPJ")) == 0)
      return fail(1235, "CNPJ do destinatário", "CNPJ do destinatário igual ao do emitente",
                  "dest/CNPJ", value);
  }
  const pugi::xml_node cpf = dest.child("CPF");
  if (cpf && (zeroOrEmpty(cpf.child_value()) || !validCpf(cpf.child_value())))
    return fail(1237, "CPF do destinatário", "CPF do destinatário com dígito verificador inválido",
                "dest/CPF", cpf.child_value());
  return true;
}

bool Judge::item(const pugi::xml_node& det, int expected, bool emitterHasIm) {
  const std::string at = "det[" + std::to_string(expected) + "]";
  const char* number = det.attribute("nItem").value();
  int n = 0;
  for (const char* p = number; *p; ++p) n = n * 10 + (*p - '0');
  if (n != expected)
    return fail(1019, "numeração dos itens",
                ("itens devem ser numerados em sequência; esperado " + std::to_string(expected))
                    .c_str(),
                at + "@nItem", number);
  if (!prod(det.child("prod"), at + "/prod")) return false;
  const pugi::xml_node tax = det.child("imposto");
  if (tax.child("ICMS") && !icms(tax.child("ICMS"), at + "/imposto/ICMS")) return false;
  if (tax.child("ISSQN") && !issqn(tax.child("ISSQN"), at + "/imposto/ISSQN", emitterHasIm))
    return false;
  return contribution(tax.child("PIS"), "PIS", at + "/imposto/PIS") &&
         contribution(tax.child("PISST"), "PIS", at + "/imposto/PISST") &&
         contribution(tax.child("COFINS"), "COFINS", at + "/imposto/COFINS") &&
         contribution(tax.child("COFINSST"), "COFINS", at + "/imposto/COFINSST");
}

bool Judge::prod(const pugi::xml_node& prod, const std::string& at) {
  const struct {
    const char* name;
    int code;
    const char* text;
  } blanks[] = {{"cProd", 1459, "código do produto em branco"},
                {"xProd", 1461, "descrição do produto em branco"},
                {"uCom", 1463, "unidade comercial em branco"}};
  // In document order: cProd, cEAN, xProd, CFOP, uCom, ...
  auto blankRule = [&](int i) {
    return !blank(prod.child_value(blanks[i].name)) ||
           fail(blanks[i].code, "campo em branco", blanks[i].text, at + "/" + blanks[i].name,
                prod.child_value(blanks[i].name));
  };
  if (!blankRule(0)) return false;
  const pugi::xml_node ean = prod.child("cEAN");
  if (ean && !validGtin(ean.child_value()))
    return fail(1460, "GTIN", "GTIN com dígito verificador inválido", at + "/cEAN",
                ean.child_value());
  if (!blankRule(1)) return false;
  const char* cfop = prod.child_value("CFOP");
  if (cfop[0] != '5')
    return fail(1462, "CFOP de saída", "CFOP deve ser de saída no estado (5xxx)", at + "/CFOP",
                cfop);
  if (!blankRule(2)) return false;
  if (!notNegative(prod.child("qCom"), 1464, "quantidade negativa", at + "/qCom") ||
      !notNegative(prod.child("vUnCom"), 1465, "valor unitário negativo", at + "/vUnCom"))
    return false;
  const std::string rule = prod.child_value("indRegra");
  if (rule != "A" && rule != "T")
    return fail(1467, "regra de cálculo", "indRegra deve ser A (arredondamento) ou T (truncamento)",
                at + "/indRegra", rule.c_str());
  return notNegative(prod.child("vDesc"), 1468, "desconto do item negativo", at + "/vDesc") &&
         notNegative(prod.child("vOutro"), 1469, "outras despesas do item negativas",
                     at + "/vOutro");
}

bool Judge::icms(const pugi::xml_node& icms, const std::string& at) {
  const pugi::xml_node group = icms.first_child();
  const std::string path = at + "/" + group.name();
  const char* origin = group.child_value("Orig");
  if (origin[0] > '8')
    return fail(1471, "origem da mercadoria", "origem da mercadoria deve ser de 0 a 8",
                path + "/Orig", origin);
  const std::string name = group.name();
  const std::string cst = group.child_value(name.compare(0, 6, "ICMSSN") == 0 ? "CSOSN" : "CST");
  if (name == "ICMS00" && !kIcms00Csts.count(cst))
    return fail(1472, "CST do ICMS00", "CST não permitido no grupo ICMS00", path + "/CST",
                cst.c_str());
  if (name == "ICMS40" && !kIcms40Csts.count(cst))
    return fail(1475, "CST do ICMS40", "CST não permitido no grupo ICMS40", path + "/CST",
                cst.c_str());
  if (name == "ICMSSN102" && !kIcmsSn102Csosns.count(cst))
    return fail(1476, "CSOSN do ICMSSN102", "CSOSN não permitido no grupo ICMSSN102",
                path + "/CSOSN", cst.c_str());
  if (name == "ICMSSN900" && cst != "900")
    return fail(1477, "CSOSN do ICMSSN900", "CSOSN do grupo ICMSSN900 deve ser 900",
                path + "/CSOSN", cst.c_str());
  return notNegative(group.child("pICMS"), 1473, "alíquota do ICMS negativa", path + "/pICMS");
}

bool Judge::issqn(const pugi::xml_node& issqn, const std::string& at, bool emitterHasIm) {
  if (!emitterHasIm)
    return fail(1501, "inscrição municipal",
                "item com ISSQN exige a inscrição municipal do emitente (emit/IM)", at, "");
  if (!notNegative(issqn.child("vDeducISSQN"), 1503, "dedução do ISSQN negativa",
                   at + "/vDeducISSQN"))
    return false;
  std::int64_t rate = 0;
  const char* aliq = issqn.child_value("vAliq");
  if (!parseFixed(aliq, 2, rate) || rate < 200 || rate > 500)
    return fail(1505, "alíquota do ISSQN", "alíquota do ISSQN deve estar entre 2,00 e 5,00",
                at + "/vAliq", aliq);
  const std::string nature = issqn.child_value("cNatOp");
  if (nature < "01" || nature > "08")
    return fail(1510, "natureza da operação", "cNatOp deve ser de 01 a 08", at + "/cNatOp",
                nature.c_str());
  const std::string incentive = issqn.child_value("indIncFisc");
  if (incentive != "1" && incentive != "2")
    return fail(1511, "incentivo fiscal", "indIncFisc deve ser 1 ou 2", at + "/indIncFisc",
                incentive.c_str());
  return true;
}

// PIS, COFINS and their ST groups: the CST of the group, then its values.
bool Judge::contribution(const pugi::xml_node& node, const char* tax, const std::string& at) {
  if (!node) return true;
  const bool pis = std::strcmp(tax, "PIS") == 0;
  const bool st = std::strstr(node.name(), "ST") != nullptr;
  pugi::xml_node group = node;
  std::string path = at;
  if (!st) {
    group = node.first_child();
    path = at + "/" + group.name();
    const std::string suffix = group.name() + std::strlen(tax);
    const std::string cst = group.child_value("CST");
    for (const ContributionGroup& g : kContributionGroups)
      if (suffix == g.suffix && !g.csts.count(cst))
        return fail(pis ? g.pisCode : g.cofinsCode, ("CST do " + std::string(group.name())).c_str(),
                    ("CST não permitido no grupo " + std::string(group.name())).c_str(),
                    path + "/CST", cst.c_str());
  }
  const ContributionValues& codes = pis ? kPisValues : kCofinsValues;
  const std::string rate = pis ? "pPIS" : "pCOFINS";
  const struct {
    std::string name;
    int code;
  } values[] = {{"vBC", codes.vBC}, {rate, codes.rate}, {"qBCProd", codes.qBCProd},
                {"vAliqProd", codes.vAliqProd}};
  for (const auto& v : values) {
    // COFINS has no rule of its own for a negative qBCProd; the layout
    // would not know it either, so it is the general 1999.
    const int code = v.code ? v.code : 1999;
    if (!notNegative(group.child(v.name.c_str()), code, "valor negativo",
                     path + "/" + v.name))
      return false;
  }
  return true;
}

bool Judge::total(const pugi::xml_node& total) {
  const pugi::xml_node adjust = total.child("DescAcrEntr");
  return notNegative(adjust.child("vDescSubtot"), 1073, "desconto sobre o subtotal negativo",
                     "total/DescAcrEntr/vDescSubtot") &&
         notNegative(adjust.child("vAcresSubtot"), 1074, "acréscimo sobre o subtotal negativo",
                     "total/DescAcrEntr/vAcresSubtot");
}

bool Judge::payments(const pugi::xml_node& pgto) {
  int n = 0;
  for (pugi::xml_node mp = pgto.child("MP"); mp; mp = mp.next_sibling("MP")) {
    const std::string at = "pgto/MP[" + std::to_string(++n) + "]";
    const char* code = mp.child_value("cMP");
    if (!kPaymentCodes.count(code))
      return fail(1527, "meio de pagamento", "código do meio de pagamento inválido",
                  at + "/cMP", code);
    std::int64_t value = 0;
    const char* vmp = mp.child_value("vMP");
    if (!parseFixed(vmp, 2, value) || value <= 0)
      return fail(1528, "valor do pagamento", "valor do pagamento deve ser maior que zero",
                  at + "/vMP", vmp);
    const pugi::xml_node acquirer = mp.child("cAdmC");
    if (acquirer && (std::strlen(acquirer.child_value()) != 3 || !allDigits(acquirer.child_value())))
      return fail(1535, "credenciadora", "código da credenciadora deve ter três dígitos",
                  at + "/cAdmC", acquirer.child_value());
  }
  return true;
}

}  // namespace

Rejection judgeSale(const pugi::xml_node& root, const SaleContext& context, SaleFigures& figures) {
  const pugi::xml_node info = root.child("infCFe");
  const pugi::xml_attribute version = info.attribute("versaoDadosEnt");
  static const std::regex kVersionForm("\\d{1,2}\\.\\d{2}");
  if (std::strcmp(root.name(), "CFe") == 0 && info && version &&
      std::regex_match(version.value(), kVersionForm) &&
      std::strcmp(version.value(), kSaleLayouts[0]) != 0 &&
      std::strcmp(version.value(), kSaleLayouts[1]) != 0)
    return rejectionOf(1004, "versão do leiaute", "versão do leiaute não aceita pelo SAT",
                       "infCFe@versaoDadosEnt", version.value());
  LayoutFault fault;
  if (!checkSaleLayout(root, fault) ||
      (!version && (fault = {"infCFe@versaoDadosEnt", "atributo obrigatório ausente", ""}, true)) ||
      (!std::regex_match(version.value(), kVersionForm) &&
       (fault = {"infCFe@versaoDadosEnt", "conteúdo fora do padrão", version.value()}, true))) {
    Rejection r = rejection(1999, "leiaute", "erro não identificado: " + fault.reason, fault.path);
    r.value = fault.value;
    r.hasValue = !fault.value.empty();
    return r;
  }

  Rejection result;
  if (context.clockBehind)
    return rejection(1258, "relógio", "data e hora do SAT anteriores ao último CF-e emitido");
  Judge judge(context, result);
  const pugi::xml_node emit = info.child("emit");
  const bool emitterHasIm = !blank(emit.child_value("IM"));
  if (!judge.ide(info.child("ide")) || !judge.emit(emit) || !judge.dest(info.child("dest")))
    return result;
  int expected = 0;
  for (pugi::xml_node det = info.child("det"); det; det = det.next_sibling("det"))
    if (!judge.item(det, ++expected, emitterHasIm)) return result;
  if (!judge.total(info.child("total")) || !judge.payments(info.child("pgto"))) return result;
  return computeSale(info, figures);
}

}  // namespace tivaxemu
