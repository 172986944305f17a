// SPDX-License-Identifier: MIT
#include "recovery.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <vector>

#include "hub.h"

namespace tivaxhub {

namespace {

// The first two digits of every result code of a function.
struct Family {
  const char* path;
  const char* code;
  int documentField;  // the signed document's field in a success, or -1
};

const Family kFamilies[] = {
    {"ativarsat", "04", -1},         {"comunicarcertificadoicpbrasil", "05", -1},
    {"enviardadosvenda", "06", 6},   {"cancelarultimavenda", "07", 6},
    {"testefimafim", "09", 5},       {"configurarinterfacederede", "12", -1},
    {"associarassinatura", "13", -1}, {"atualizarsoftwaresat", "14", -1},
    {"bloquearsat", "16", -1},       {"desbloquearsat", "17", -1},
    {"trocarcodigodeativacao", "18", -1},
};

std::string decodeBase64(const std::string& text) {
  std::string clean;
  for (char c : text)
    if (c != '\n' && c != '\r' && c != ' ') clean += c;
  if (clean.empty() || clean.size() % 4 != 0) return "";
  std::string out(clean.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
  if (n < 0) return "";
  size_t padding = 0;
  while (padding < 2 && clean[clean.size() - 1 - padding] == '=') ++padding;
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

// A number written either way ("1", "1.0000") reads the same.
std::string amount(const char* text) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4f", std::strtod(text, nullptr));
  return buffer;
}

// What a sale and its signed document share: the checkout, each item's
// code, quantity and price, each payment's means and value.
struct Content {
  long checkout = -1;
  std::vector<std::string> items;
  std::vector<std::string> payments;
  bool operator==(const Content& other) const {
    return checkout == other.checkout && items == other.items && payments == other.payments;
  }
};

bool readContent(const std::string& xml, Content* content, pugi::xml_node* infCFe, pugi::xml_document& document) {
  if (!document.load_buffer(xml.data(), xml.size())) return false;
  *infCFe = document.document_element().child("infCFe");
  if (!*infCFe) return false;
  const char* checkout = infCFe->child("ide").child_value("numeroCaixa");
  if (*checkout) content->checkout = std::strtol(checkout, nullptr, 10);
  for (pugi::xml_node det = infCFe->child("det"); det; det = det.next_sibling("det")) {
    const pugi::xml_node prod = det.child("prod");
    content->items.push_back(std::string(prod.child_value("cProd")) + "|" + amount(prod.child_value("qCom")) + "|" +
                             amount(prod.child_value("vUnCom")));
  }
  for (pugi::xml_node mp = infCFe->child("pgto").child("MP"); mp; mp = mp.next_sibling("MP"))
    content->payments.push_back(std::string(mp.child_value("cMP")) + "|" + amount(mp.child_value("vMP")));
  return true;
}

}  // namespace

std::string answerMismatch(const HubRequest& request, const std::string& line,
                           const std::optional<std::string>& earlier) {
  const Family* family = nullptr;
  for (const Family& f : kFamilies)
    if (std::strcmp(f.path, request.function->path) == 0) family = &f;
  const std::string code = answerField(line, 1);
  if (!family || code.compare(0, 2, family->code) != 0)
    return "a resposta guardada pelo equipamento para a sessão é de outra função";
  if (earlier && *earlier == line) return "o equipamento devolveu a resposta de uma requisição anterior com a mesma sessão";
  if (family->documentField < 0) return "";
  if (code.compare(2, 3, "000") != 0)
    return "a resposta guardada pelo equipamento para a sessão não traz um CF-e que prove esta requisição";
  pugi::xml_document signedDocument;
  pugi::xml_node signedInfo;
  Content signedContent;
  if (!readContent(decodeBase64(answerField(line, static_cast<size_t>(family->documentField))), &signedContent,
                   &signedInfo, signedDocument))
    return "o CF-e guardado pelo equipamento para a sessão não pôde ser lido";
  if (std::strcmp(request.function->path, "cancelarultimavenda") == 0)
    return request.values[0] == signedInfo.attribute("chCanc").value()
               ? ""
               : "o CF-e guardado pelo equipamento para a sessão cancela outra venda";
  pugi::xml_document saleDocument;
  pugi::xml_node saleInfo;
  Content saleContent;
  if (!readContent(request.values[0], &saleContent, &saleInfo, saleDocument) || !(saleContent == signedContent))
    return "o CF-e guardado pelo equipamento para a sessão é de outra venda (caixa, itens ou pagamentos diferentes)";
  return "";
}

std::string requestDigest(const HubRequest& request) {
  std::string text = request.function->name;
  for (const std::string& value : request.values) text += "\n" + std::to_string(value.size()) + ":" + value;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) return "";
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace tivaxhub
