// SPDX-License-Identifier: MIT
#include "cfe/cfe_007_verify.h"

#include <algorithm>
#include <limits>

namespace {

// The failure messages; each prefix ends with a space and is followed by
// the offending name (or, for text, by the quoted text).
const char kLeafText[] = "Nó PCDATA deve ser uma folha, nunca ser encontrado entre tags: ";
const char kGroupText[] = "Nó de grupo não deve ter texto: ";
const char kBadAttribute[] = "Falha ao verificar atributo: ";
const char kBadTag[] = "Falha ao verificar tag: ";
const char kBadContent[] = "Falha ao verificar conteúdo da tag: ";
const char kMissingTag[] = "Falha ao verificar a tag: ";

const uint32_t kNoEntry = std::numeric_limits<uint32_t>::max();

}  // namespace

// CF-e input layout 0.07. Attribute entries come first in a list ("infCFe"
// and "det" are the only groups with one); the rest are child elements in
// the order the layout requires. Within one list every name is distinct.
const std::map<std::string, std::vector<cfe_007_verify::child>> cfe_007_verify::_child_map = {
    {"CFe", {{"infCFe", 1, 1}}},
    {"infCFe",
     {{"versaoDadosEnt", 1, 1},
      {"ide", 1, 1},
      {"emit", 1, 1},
      {"dest", 1, 1},
      {"entrega", 0, 1},
      {"det", 1, 500},
      {"total", 1, 1},
      {"pgto", 1, 1},
      {"infAdic", 0, 1}}},
    {"ide", {{"CNPJ", 1, 1}, {"signAC", 1, 1}, {"numeroCaixa", 1, 1}}},
    {"emit",
     {{"CNPJ", 1, 1}, {"IE", 1, 1}, {"IM", 0, 1}, {"cRegTribISSQN", 0, 1}, {"indRatISSQN", 1, 1}}},
    {"dest", {{"CNPJ", 0, 1}, {"CPF", 0, 1}, {"xNome", 0, 1}}},
    {"entrega",
     {{"xLgr", 1, 1}, {"nro", 1, 1}, {"xCpl", 0, 1}, {"xBairro", 1, 1}, {"xMun", 1, 1}, {"UF", 1, 1}}},
    {"det", {{"nItem", 1, 1}, {"prod", 1, 1}, {"imposto", 1, 1}, {"infAdProd", 0, 1}}},
    {"prod",
     {{"cProd", 1, 1},
      {"cEAN", 0, 1},
      {"xProd", 1, 1},
      {"NCM", 0, 1},
      {"CEST", 0, 1},
      {"CFOP", 1, 1},
      {"uCom", 1, 1},
      {"qCom", 1, 1},
      {"vUnCom", 1, 1},
      {"indRegra", 1, 1},
      {"vDesc", 0, 1},
      {"vOutro", 0, 1},
      {"obsFiscoDet", 0, 10}}},
    {"obsFiscoDet", {{"xCampoDet", 1, 1}, {"xTextoDet", 1, 1}}},
    {"imposto",
     {{"vItem12741", 0, 1},
      {"ICMS", 0, 1},
      {"ISSQN", 0, 1},
      {"PIS", 1, 1},
      {"PISST", 0, 1},
      {"COFINS", 1, 1},
      {"COFINSST", 0, 1}}},
    {"ICMS", {{"ICMS00", 0, 1}, {"ICMS40", 0, 1}, {"ICMSSN102", 0, 1}, {"ICMSSN900", 0, 1}}},
    {"ICMS00", {{"Orig", 1, 1}, {"CST", 1, 1}, {"pICMS", 1, 1}}},
    {"ICMS40", {{"Orig", 1, 1}, {"CST", 1, 1}}},
    {"ICMSSN102", {{"Orig", 1, 1}, {"CSOSN", 1, 1}}},
    {"ICMSSN900", {{"Orig", 1, 1}, {"CSOSN", 1, 1}, {"pICMS", 1, 1}}},
    {"PIS", {{"PISAliq", 0, 1}, {"PISQtde", 0, 1}, {"PISNT", 0, 1}, {"PISSN", 0, 1}, {"PISOutr", 0, 1}}},
    {"PISAliq", {{"CST", 1, 1}, {"vBC", 1, 1}, {"pPIS", 1, 1}}},
    {"PISQtde", {{"CST", 1, 1}, {"qBCProd", 1, 1}, {"vAliqProd", 1, 1}}},
    {"PISNT", {{"CST", 1, 1}}},
    {"PISSN", {{"CST", 1, 1}}},
    {"PISOutr",
     {{"CST", 1, 1}, {"vBC", 0, 1}, {"pPIS", 0, 1}, {"qBCProd", 0, 1}, {"vAliqProd", 0, 1}}},
    {"PISST", {{"vBC", 0, 1}, {"pPIS", 0, 1}, {"qBCProd", 0, 1}, {"vAliqProd", 0, 1}}},
    {"COFINS",
     {{"COFINSAliq", 0, 1},
      {"COFINSQtde", 0, 1},
      {"COFINSNT", 0, 1},
      {"COFINSSN", 0, 1},
      {"COFINSOutr", 0, 1}}},
    {"COFINSAliq", {{"CST", 1, 1}, {"vBC", 1, 1}, {"pCOFINS", 1, 1}}},
    {"COFINSQtde", {{"CST", 1, 1}, {"qBCProd", 1, 1}, {"vAliqProd", 1, 1}}},
    {"COFINSNT", {{"CST", 1, 1}}},
    {"COFINSSN", {{"CST", 1, 1}}},
    {"COFINSOutr",
     {{"CST", 1, 1}, {"vBC", 0, 1}, {"pCOFINS", 0, 1}, {"qBCProd", 0, 1}, {"vAliqProd", 0, 1}}},
    {"COFINSST", {{"vBC", 0, 1}, {"pCOFINS", 0, 1}, {"qBCProd", 0, 1}, {"vAliqProd", 0, 1}}},
    {"ISSQN",
     {{"vDeducISSQN", 1, 1},
      {"vAliq", 1, 1},
      {"cMunFG", 0, 1},
      {"cListServ", 0, 1},
      {"cServTribMun", 0, 1},
      {"cNatOp", 1, 1},
      {"indIncFisc", 1, 1}}},
    {"total", {{"DescAcrEntr", 0, 1}, {"vCFeLei12741", 0, 1}}},
    {"DescAcrEntr", {{"vDescSubtot", 0, 1}, {"vAcresSubtot", 0, 1}}},
    {"pgto", {{"MP", 1, 10}}},
    {"infAdic", {{"infCpl", 0, 1}}},
};

namespace {

// Byte comparison of a table name with a node name, inline: the walk
// compares names at every node and most comparisons fail at the first byte.
bool sameName(const std::string& tableName, const char* nodeName) {
  const char* t = tableName.c_str();
  while (*t != '\0' && *t == *nodeName) {
    ++t;
    ++nodeName;
  }
  return *t == *nodeName;
}

// Finds a group's list by name without building a string or walking the
// ordered map: every node of the document is looked up, most of them
// leaves. The names are bucketed by length; a bucket holds a handful.
class GroupIndex {
 public:
  using List = std::vector<cfe_007_verify::child>;

  explicit GroupIndex(const std::map<std::string, List>& groups) : _byLength(1) {
    for (const auto& group : groups) {
      const size_t length = group.first.size();
      if (_byLength.size() <= length) _byLength.resize(length + 1);
      _byLength[length].push_back({&group.first, &group.second});
      if (_longest < length) _longest = length;
    }
  }

  const List* find(const char* name) const {
    // Names longer than any key are not measured to their end.
    size_t length = 0;
    while (name[length] != '\0') {
      if (++length > _longest) return nullptr;
    }
    for (const Key& key : _byLength[length]) {
      if (sameName(*key.name, name)) return key.list;
    }
    return nullptr;
  }

 private:
  struct Key {
    const std::string* name;
    const List* list;
  };
  std::vector<std::vector<Key>> _byLength;
  size_t _longest = 0;
};

// Built right after the table it indexes (same file, later definition).
const GroupIndex kGroups(cfe_007_verify::_child_map);

}  // namespace

bool cfe_007_verify::for_each(pugi::xml_node& node) {
  const pugi::xml_node_type type = node.type();
  // Text belongs in leaves only: a text node must be its element's sole child.
  if (type == pugi::node_pcdata) {
    if (!node.previous_sibling() && !node.next_sibling()) return true;
    _message << kLeafText << '"' << node.value() << '"';
    return reject();
  }
  // Nodes without a name (CDATA, document type) look up the empty name,
  // which is no group. Unknown names are not checked, but the walk still
  // descends into them.
  const std::vector<child>* list = kGroups.find(node.name());
  if (list == nullptr) return true;
  return checkGroup(node, *list);
}

bool cfe_007_verify::checkGroup(const pugi::xml_node& node, const std::vector<child>& list) {
  indexChildren(node, list);

  // A group holds elements only: its text (the first text or CDATA child,
  // as pugixml's text() takes it) must be empty.
  if (*_firstText != '\0') {
    _message << kGroupText << '"' << node.name() << "\" : \"" << _firstText << '"';
    return reject();
  }

  const uint32_t n = static_cast<uint32_t>(list.size());
  uint32_t i = 0;

  // Attributes take the leading entries, one each, in order. Their values
  // and the entries' bounds are not looked at.
  for (pugi::xml_attribute attribute = node.first_attribute(); attribute;
       attribute = attribute.next_attribute()) {
    if (i == n) return reject();
    if (!sameName(list[i].name, attribute.name())) {
      _message << kBadAttribute << attribute.name();
      return reject();
    }
    ++i;
  }

  const size_t m = _kids.size();
  size_t pos = 0;
  while (pos < m) {
    const Kid& c = _kids[pos];
    if (c.type != pugi::node_element) {
      advance(pos);
      continue;
    }
    if (i >= n) return reject();

    // Optional entries that no child names are passed over; an optional
    // entry that is named somewhere among the children must be met here.
    while (list[i].min == 0 && _total[i] == 0) {
      ++i;
      if (i == n) {
        _message << kBadContent << c.node.name();
        return reject();
      }
    }
    const child& e = list[i];

    // Names within a list are distinct, so c bears e's name exactly when its
    // first matching entry is e. Its run is then c and every later sibling
    // of the same name, adjacent or not.
    const bool named = c.entry == i;
    const uint32_t k = named ? _total[i] - _before[i] : 1;
    if (!named || (e.min != 0 && k < e.min) || k > e.max) {
      _message << kBadTag << c.node.name();
      return reject();
    }

    // Step over the run, k - 1 sibling positions, a step that lands on text
    // going one node further, then resume after it. When the run is not
    // contiguous the elements stepped over are not compared with any entry.
    for (uint32_t step = 1; step < k && pos < m; ++step) {
      advance(pos);
      if (pos < m && _kids[pos].type == pugi::node_pcdata) advance(pos);
    }
    if (pos < m) advance(pos);
    ++i;
  }

  for (uint32_t j = i; j < n; ++j) {
    if (list[j].min >= 1) {
      _message << kMissingTag << node.name();
      return reject();
    }
  }
  return true;
}

// Counts, once per group, how many children bear each entry's name. Any
// named child counts (as pugixml's lookups by name do), not only elements.
// Also notes the group's text on the way.
void cfe_007_verify::indexChildren(const pugi::xml_node& node, const std::vector<child>& list) {
  const uint32_t n = static_cast<uint32_t>(list.size());
  _kids.clear();
  if (_total.size() < n) {
    _total.resize(n);
    _before.resize(n);
  }
  std::fill_n(_total.begin(), n, 0u);
  std::fill_n(_before.begin(), n, 0u);
  _firstText = "";
  bool textFound = false;
  uint32_t hint = 0;
  for (pugi::xml_node kid = node.first_child(); kid; kid = kid.next_sibling()) {
    const pugi::xml_node_type type = kid.type();
    if (!textFound && (type == pugi::node_pcdata || type == pugi::node_cdata)) {
      _firstText = kid.value();
      textFound = true;
    }
    uint32_t entry = kNoEntry;
    if (type == pugi::node_element || type == pugi::node_pi) {
      // Children mostly come in layout order, so the search starts at the
      // entry after the last one found and wraps around; names in a list
      // are distinct, so where it starts does not change what it finds.
      const char* name = kid.name();
      for (uint32_t tried = 0, j = hint; tried < n; ++tried, j = j + 1 == n ? 0 : j + 1) {
        if (sameName(list[j].name, name)) {
          entry = j;
          hint = j + 1 == n ? 0 : j + 1;
          break;
        }
      }
    }
    _kids.push_back({kid, type, entry});
    if (entry != kNoEntry) ++_total[entry];
  }
}

// Moves the cursor past one child, which leaves the later part of any run.
void cfe_007_verify::advance(size_t& pos) {
  const uint32_t entry = _kids[pos].entry;
  if (entry != kNoEntry) ++_before[entry];
  ++pos;
}

bool cfe_007_verify::reject() {
  _ok = false;
  return false;
}
