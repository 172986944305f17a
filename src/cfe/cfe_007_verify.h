// SPDX-License-Identifier: MIT
// Structural check of a sale document against the CF-e input layout 0.07.
//
// The layout is a table: for every group element, the ordered list of what
// may stand inside it (its attributes first, then its child elements), each
// with a least and a most number of occurrences. The walker is handed to
// pugixml's traverse, visits every node in document order and stops at the
// first fault, leaving one message in Portuguese that names the offending
// tag. Only names, order, counts and the place of text are checked; the
// content of texts and attribute values never is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <pugixml.hpp>

class cfe_007_verify : public pugi::xml_tree_walker {
 public:
  // One entry of a group's list; min 0 marks an optional entry.
  struct child {
    std::string name;
    uint32_t min;
    uint32_t max;
  };

  // Group element name -> its entries in layout order. Built while the
  // library loads and only read afterwards, so walkers in any number of
  // threads may share it.
  static const std::map<std::string, std::vector<child>> _child_map;

  // true until a node is rejected.
  bool _ok = true;
  // The failure message (empty on success and on the two silent rejections).
  std::ostringstream _message;

  bool for_each(pugi::xml_node& node) override;

 private:
  bool checkGroup(const pugi::xml_node& node, const std::vector<child>& list);
  void indexChildren(const pugi::xml_node& node, const std::vector<child>& list);
  void advance(size_t& pos);
  bool reject();

  // Scratch of the group being checked, kept between groups so that a walk
  // over many small groups does not allocate for each of them. _kids holds
  // every child in order with the index of the entry bearing its name;
  // _total counts, per entry, the children bearing its name, and _before
  // the same among the children the cursor has passed. The length of a run
  // is then _total - _before, without rescanning the siblings.
  struct Kid {
    pugi::xml_node node;
    pugi::xml_node_type type;
    uint32_t entry;
  };
  std::vector<Kid> _kids;
  std::vector<uint32_t> _total;
  std::vector<uint32_t> _before;
  const char* _firstText = "";
};
