// SPDX-License-Identifier: MIT
#include "sale_layout.h"

#include <cstring>
#include <map>
#include <vector>

namespace tivaxemu {

namespace {

struct Child {
  const char* name;
  int min, max;
};

// A group lists its children in the order the layout requires. A choice
// holds exactly one of them.
struct Group {
  std::vector<Child> children;
  bool choice = false;
};

const std::map<std::string, Group> kGroups = {
    {"CFe", {{{"infCFe", 1, 1}}}},
    {"infCFe",
     {{{"ide", 1, 1},
       {"emit", 1, 1},
       {"dest", 1, 1},
       {"entrega", 0, 1},
       {"det", 1, 500},
       {"total", 1, 1},
       {"pgto", 1, 1},
       {"infAdic", 0, 1}}}},
    {"ide", {{{"CNPJ", 1, 1}, {"signAC", 1, 1}, {"numeroCaixa", 1, 1}}}},
    {"emit",
     {{{"CNPJ", 1, 1}, {"IE", 1, 1}, {"IM", 0, 1}, {"cRegTribISSQN", 0, 1},
       {"indRatISSQN", 1, 1}}}},
    {"dest", {{{"CNPJ", 0, 1}, {"CPF", 0, 1}, {"xNome", 0, 1}}}},
    {"entrega",
     {{{"xLgr", 1, 1}, {"nro", 1, 1}, {"xCpl", 0, 1}, {"xBairro", 1, 1}, {"xMun", 1, 1},
       {"UF", 1, 1}}}},
    {"det", {{{"prod", 1, 1}, {"imposto", 1, 1}, {"infAdProd", 0, 1}}}},
    {"prod",
     {{{"cProd", 1, 1}, {"cEAN", 0, 1}, {"xProd", 1, 1}, {"NCM", 0, 1}, {"CEST", 0, 1},
       {"CFOP", 1, 1}, {"uCom", 1, 1}, {"qCom", 1, 1}, {"vUnCom", 1, 1}, {"indRegra", 1, 1},
       {"vDesc", 0, 1}, {"vOutro", 0, 1}, {"obsFiscoDet", 0, 10}}}},
    {"obsFiscoDet", {{{"xCampoDet", 1, 1}, {"xTextoDet", 1, 1}}}},
    {"imposto",
     {{{"vItem12741", 0, 1}, {"ICMS", 0, 1}, {"ISSQN", 0, 1}, {"PIS", 1, 1}, {"PISST", 0, 1},
       {"COFINS", 1, 1}, {"COFINSST", 0, 1}}}},
    {"ICMS", {{{"ICMS00", 0, 1}, {"ICMS40", 0, 1}, {"ICMSSN102", 0, 1}, {"ICMSSN900", 0, 1}}, true}},
    {"ICMS00", {{{"Orig", 1, 1}, {"CST", 1, 1}, {"pICMS", 1, 1}}}},
    {"ICMS40", {{{"Orig", 1, 1}, {"CST", 1, 1}}}},
    {"ICMSSN102", {{{"Orig", 1, 1}, {"CSOSN", 1, 1}}}},
    {"ICMSSN900", {{{"Orig", 1, 1}, {"CSOSN", 1, 1}, {"pICMS", 1, 1}}}},
    {"PIS",
     {{{"PISAliq", 0, 1}, {"PISQtde", 0, 1}, {"PISNT", 0, 1}, {"PISSN", 0, 1}, {"PISOutr", 0, 1}},
      true}},
    {"PISAliq", {{{"CST", 1, 1}, {"vBC", 1, 1}, {"pPIS", 1, 1}}}},
    {"PISQtde", {{{"CST", 1, 1}, {"qBCProd", 1, 1}, {"vAliqProd", 1, 1}}}},
    {"PISNT", {{{"CST", 1, 1}}}},
    {"PISSN", {{{"CST", 1, 1}}}},
    {"PISOutr", {{{"CST", 1, 1}, {"vBC", 0, 1}, {"pPIS", 0, 1}, {"qBCProd", 0, 1},
                  {"vAliqProd", 0, 1}}}},
    {"PISST", {{{"vBC", 0, 1}, {"pPIS", 0, 1}, {"qBCProd", 0, 1}, {"vAliqProd", 0, 1}}}},
    {"COFINS",
     {{{"COFINSAliq", 0, 1}, {"COFINSQtde", 0, 1}, {"COFINSNT", 0, 1}, {"COFINSSN", 0, 1},
       {"COFINSOutr", 0, 1}},
      true}},
    {"COFINSAliq", {{{"CST", 1, 1}, {"vBC", 1, 1}, {"pCOFINS", 1, 1}}}},
    {"COFINSQtde", {{{"CST", 1, 1}, {"qBCProd", 1, 1}, {"vAliqProd", 1, 1}}}},
    {"COFINSNT", {{{"CST", 1, 1}}}},
    {"COFINSSN", {{{"CST", 1, 1}}}},
    {"COFINSOutr", {{{"CST", 1, 1}, {"vBC", 0, 1}, {"pCOFINS", 0, 1}, {"qBCProd", 0, 1},
                     {"vAliqProd", 0, 1}}}},
    {"COFINSST", {{{"vBC", 0, 1}, {"pCOFINS", 0, 1}, {"qBCProd", 0, 1}, {"vAliqProd", 0, 1}}}},
    {"ISSQN",
     {{{"vDeducISSQN", 1, 1}, {"vAliq", 1, 1}, {"cMunFG", 0, 1}, {"cListServ", 0, 1},
       {"cServTribMun", 0, 1}, {"cNatOp", 1, 1}, {"indIncFisc", 1, 1}}}},
    {"total", {{{"DescAcrEntr", 0, 1}, {"vCFeLei12741", 0, 1}}}},
    {"DescAcrEntr", {{{"vDescSubtot", 0, 1}, {"vAcresSubtot", 0, 1}}, true}},
    {"pgto", {{{"MP", 1, 10}}}},
    {"MP", {{{"cMP", 1, 1}, {"vMP", 1, 1}, {"cAdmC", 0, 1}}}},
    {"infAdic", {{{"infCpl", 0, 1}, {"obsFisco", 0, 10}}}},
    {"obsFisco", {{{"xTexto", 1, 1}}}},
    // A cancellation names the sale in infCFe@chCanc and sends little else.
    {"CFeCanc", {{{"infCFe", 1, 1}}}},
    {"infCFe:canc",
     {{{"ide", 1, 1}, {"emit", 1, 1}, {"dest", 1, 1}, {"total", 1, 1}, {"infAdic", 0, 1}}}},
    {"emit:canc", {}},
    {"total:canc", {}},
};

// The form of a leaf's text. Text and Digits: length a..b characters;
// Either: length a or b; Decimal: at most a integer digits and b..c
// decimals, a minus sign allowed.
enum class Form { Text, Digits, Either, Decimal };
struct Leaf {
  Form form;
  int a, b, c;
};

const std::map<std::string, Leaf> kLeaves = {
    {"CNPJ", {Form::Text, 0, 14, 0}},        {"CPF", {Form::Text, 0, 11, 0}},
    {"signAC", {Form::Text, 0, 344, 0}},     {"numeroCaixa", {Form::Digits, 3, 3, 0}},
    {"IE", {Form::Text, 0, 14, 0}},          {"IM", {Form::Text, 1, 15, 0}},
    {"cRegTribISSQN", {Form::Digits, 1, 1, 0}}, {"indRatISSQN", {Form::Text, 1, 1, 0}},
    {"xNome", {Form::Text, 2, 60, 0}},       {"xLgr", {Form::Text, 2, 60, 0}},
    {"nro", {Form::Text, 1, 60, 0}},         {"xCpl", {Form::Text, 1, 60, 0}},
    {"xBairro", {Form::Text, 1, 60, 0}},     {"xMun", {Form::Text, 2, 60, 0}},
    {"UF", {Form::Text, 2, 2, 0}},           {"cProd", {Form::Text, 0, 60, 0}},
    {"cEAN", {Form::Digits, 8, 14, 0}},      {"xProd", {Form::Text, 0, 120, 0}},
    {"NCM", {Form::Either, 2, 8, 0}},          {"CEST", {Form::Digits, 7, 7, 0}},
    {"CFOP", {Form::Digits, 4, 4, 0}},       {"uCom", {Form::Text, 0, 6, 0}},
    {"qCom", {Form::Decimal, 11, 4, 4}},     {"vUnCom", {Form::Decimal, 12, 2, 3}},
    {"indRegra", {Form::Text, 1, 1, 0}},     {"vDesc", {Form::Decimal, 13, 2, 2}},
    {"vOutro", {Form::Decimal, 13, 2, 2}},   {"xCampoDet", {Form::Text, 1, 20, 0}},
    {"xTextoDet", {Form::Text, 1, 60, 0}},   {"infAdProd", {Form::Text, 1, 500, 0}},
    {"vItem12741", {Form::Decimal, 13, 2, 2}}, {"Orig", {Form::Digits, 1, 1, 0}},
    {"CST", {Form::Digits, 2, 2, 0}},        {"CSOSN", {Form::Digits, 3, 3, 0}},
    {"pICMS", {Form::Decimal, 3, 2, 2}},     {"vBC", {Form::Decimal, 13, 2, 2}},
    {"pPIS", {Form::Decimal, 1, 4, 4}},      {"pCOFINS", {Form::Decimal, 1, 4, 4}},
    {"qBCProd", {Form::Decimal, 12, 4, 4}},  {"vAliqProd", {Form::Decimal, 11, 4, 4}},
    {"vDeducISSQN", {Form::Decimal, 13, 2, 2}}, {"vAliq", {Form::Decimal, 3, 2, 2}},
    {"cMunFG", {Form::Digits, 7, 7, 0}},     {"cListServ", {Form::Text, 5, 5, 0}},
    {"cServTribMun", {Form::Text, 1, 20, 0}}, {"cNatOp", {Form::Digits, 2, 2, 0}},
    {"indIncFisc", {Form::Digits, 1, 1, 0}}, {"vDescSubtot", {Form::Decimal, 13, 2, 2}},
    {"vAcresSubtot", {Form::Decimal, 13, 2, 2}}, {"vCFeLei12741", {Form::Decimal, 13, 2, 2}},
    {"cMP", {Form::Digits, 2, 2, 0}},        {"vMP", {Form::Decimal, 13, 2, 2}},
    {"cAdmC", {Form::Text, 0, 60, 0}},       {"infCpl", {Form::Text, 0, 5000, 0}},
    {"xTexto", {Form::Text, 1, 60, 0}},
};

// Characters, not bytes: the lengths of the layout count characters.
int characters(const char* text) {
  int n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    if ((*p & 0xc0) != 0x80) ++n;
  return n;
}

bool digitsOnly(const char* text) {
  if (!*text) return false;
  for (; *text; ++text)
    if (*text < '0' || *text > '9') return false;
  return true;
}

bool decimalForm(const char* text, int wholeMax, int decimalsMin, int decimalsMax) {
  if (*text == '-') ++text;
  const char* point = std::strchr(text, '.');
  const std::size_t whole = point ? std::size_t(point - text) : std::strlen(text);
  const std::size_t decimals = point ? std::strlen(point + 1) : 0;
  if (whole < 1 || whole > std::size_t(wholeMax)) return false;
  if (decimals < std::size_t(decimalsMin) || decimals > std::size_t(decimalsMax)) return false;
  if (decimalsMin > 0 && !point) return false;
  for (std::size_t i = 0; i < whole; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return decimals == 0 || digitsOnly(point + 1);
}

bool leafFits(const Leaf& leaf, const char* text) {
  const int n = characters(text);
  switch (leaf.form) {
    case Form::Text:
      return n >= leaf.a && n <= leaf.b;
    case Form::Digits:
      return n >= leaf.a && n <= leaf.b && digitsOnly(text);
    case Form::Either:
      return n == leaf.a || n == leaf.b;
    case Form::Decimal:
      return decimalForm(text, leaf.a, leaf.b, leaf.c);
  }
  return false;
}

bool fail(LayoutFault& fault, std::string path, std::string reason, std::string value = "") {
  fault.path = std::move(path);
  fault.reason = std::move(reason);
  fault.value = std::move(value);
  return false;
}

std::string join(const std::string& path, const std::string& name) {
  return path.empty() || path == "infCFe" ? name : path + "/" + name;
}

bool attributesFit(const pugi::xml_node& node, const std::string& path, bool cancellation,
                   LayoutFault& fault) {
  const std::string name = node.name();
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    const std::string attribute = a.name();
    const bool known = (name == "infCFe" && attribute == (cancellation ? "chCanc" : "versaoDadosEnt")) ||
                       (name == "det" && attribute == "nItem");
    if (!known) return fail(fault, path + "@" + attribute, "atributo fora do leiaute");
    if (name == "det" && (!digitsOnly(a.value()) || std::strlen(a.value()) > 3))
      return fail(fault, path + "@nItem", "número de item fora do padrão", a.value());
  }
  if (name == "det" && !node.attribute("nItem"))
    return fail(fault, path + "@nItem", "atributo obrigatório ausente");
  if (cancellation && name == "infCFe" && !node.attribute("chCanc"))
    return fail(fault, path + "@chCanc", "atributo obrigatório ausente");
  return true;
}

bool checkNode(const pugi::xml_node& node, const std::string& path, bool cancellation,
               LayoutFault& fault);

bool checkGroup(const pugi::xml_node& node, const Group& group, const std::string& path,
                bool cancellation, LayoutFault& fault) {
  std::size_t slot = 0;
  std::vector<int> counts(group.children.size(), 0);
  int present = 0;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
      return fail(fault, path, "grupo com texto", child.value());
    if (child.type() != pugi::node_element) continue;
    const std::string name = child.name();
    while (slot < group.children.size() && name != group.children[slot].name) ++slot;
    if (slot == group.children.size())
      return fail(fault, join(path, name), "elemento fora do leiaute ou fora de ordem");
    const int count = ++counts[slot];
    if (count > group.children[slot].max)
      return fail(fault, join(path, name), "elemento repetido além do permitido");
    if (count == 1) ++present;
    // Paths start below infCFe: "det[2]/prod/qCom".
    const std::string childPath =
        (path.empty() || path == "infCFe" ? "" : path + "/") + name +
        (group.children[slot].max > 1 ? "[" + std::to_string(count) + "]" : "");
    if (!checkNode(child, childPath, cancellation, fault)) return false;
  }
  for (std::size_t i = 0; i < group.children.size(); ++i)
    if (counts[i] < group.children[i].min)
      return fail(fault, join(path, group.children[i].name), "elemento obrigatório ausente");
  if (group.choice && present != 1)
    return fail(fault, path, present ? "mais de um grupo onde cabe só um" : "grupo vazio");
  return true;
}

bool checkNode(const pugi::xml_node& node, const std::string& path, bool cancellation,
               LayoutFault& fault) {
  if (!attributesFit(node, path, cancellation, fault)) return false;
  std::string name = node.name();
  if (cancellation && (name == "infCFe" || name == "emit" || name == "total")) name += ":canc";
  const auto group = kGroups.find(name);
  if (group != kGroups.end()) {
    if (!checkGroup(node, group->second, path, cancellation, fault)) return false;
    // An item is taxed either by ICMS or by ISSQN.
    if (std::strcmp(node.name(), "imposto") == 0 &&
        !node.child("ICMS") == !node.child("ISSQN"))
      return fail(fault, path, "o item precisa de ICMS ou de ISSQN, e não de ambos");
    return true;
  }
  const auto leaf = kLeaves.find(node.name());
  if (leaf == kLeaves.end()) return fail(fault, path, "elemento fora do leiaute");
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element)
      return fail(fault, path + "/" + child.name(), "elemento fora do leiaute");
  const char* text = node.child_value();
  if (!leafFits(leaf->second, text)) return fail(fault, path, "conteúdo fora do padrão", text);
  return true;
}

}  // namespace

bool checkSaleLayout(const pugi::xml_node& root, LayoutFault& fault) {
  if (std::strcmp(root.name(), "CFe") != 0)
    return fail(fault, root.name(), "o documento de venda começa por CFe");
  return checkGroup(root, kGroups.at("CFe"), "", false, fault);
}

bool checkCancellationLayout(const pugi::xml_node& root, LayoutFault& fault) {
  if (std::strcmp(root.name(), "CFeCanc") != 0)
    return fail(fault, root.name(), "o documento de cancelamento começa por CFeCanc");
  return checkGroup(root, kGroups.at("CFeCanc"), "", true, fault);
}

}  // namespace tivaxemu
