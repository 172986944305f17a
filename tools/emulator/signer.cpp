// SPDX-License-Identifier: MIT
#include "signer.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <xmlsec/base64.h>
#include <xmlsec/crypto.h>
#include <xmlsec/templates.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>

#include <memory>
#include <mutex>

#include "base64.h"

namespace tivaxemu {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

void freeBio(BIO* b) { BIO_free(b); }
void freeDoc(xmlDoc* d) { xmlFreeDoc(d); }
void freeDsig(xmlSecDSigCtx* c) { xmlSecDSigCtxDestroy(c); }

std::string drain(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

// xmlsec and libxml2 are set up once; signing runs under one lock, since
// emulators in one process share them.
std::mutex xmlsecMutex;
bool xmlsecReady = false;

bool initialiseXmlsec() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlsecReady = xmlSecInit() >= 0 && xmlSecCheckVersion() == 1 &&
                  xmlSecCryptoAppInit(nullptr) >= 0 && xmlSecCryptoInit() >= 0;
    // Base64 values on one line, as devices write them.
    if (xmlsecReady) xmlSecBase64SetDefaultLineSize(1 << 20);
  });
  return xmlsecReady;
}

// The template comes with line breaks between its elements; a device's
// signature has none. Removed before signing, so that SignedInfo is signed
// as it stays.
void dropBlankText(xmlNode* node) {
  for (xmlNode* child = node->children; child;) {
    xmlNode* next = child->next;
    if (child->type == XML_TEXT_NODE && xmlIsBlankNode(child)) {
      xmlUnlinkNode(child);
      xmlFreeNode(child);
    } else if (child->type == XML_ELEMENT_NODE) {
      dropBlankText(child);
    }
    child = next;
  }
}

}  // namespace

DeviceKey makeDeviceKey(const std::string& serial) {
  DeviceKey result;
  Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_RSA_gen(2048));
  Owned<X509, X509_free> cert(X509_new());
  if (!key || !cert) return result;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  const std::string common = "EQUIPAMENTO SAT DE TESTE " + serial;
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("BR"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("tivax-emulator"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return result;
  Owned<BIO, freeBio> keyOut(BIO_new(BIO_s_mem())), certOut(BIO_new(BIO_s_mem()));
  if (!keyOut || !certOut ||
      !PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
      !PEM_write_bio_X509(certOut.get(), cert.get()))
    return result;
  result.keyPem = drain(keyOut.get());
  result.certificatePem = drain(certOut.get());
  return result;
}

const DeviceKey& processDeviceKey() {
  static const DeviceKey key = makeDeviceKey("900004019");
  return key;
}

std::string signText(const DeviceKey& key, const std::string& text) {
  Owned<BIO, freeBio> in(BIO_new_mem_buf(key.keyPem.data(), static_cast<int>(key.keyPem.size())));
  if (!in) return "";
  Owned<EVP_PKEY, EVP_PKEY_free> pkey(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
  Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
  if (!pkey || !ctx ||
      EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1)
    return "";
  std::size_t size = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  if (EVP_DigestSign(ctx.get(), nullptr, &size, data, text.size()) != 1) return "";
  std::string signature(size, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&signature[0]), &size, data,
                     text.size()) != 1)
    return "";
  signature.resize(size);
  return base64Encode(signature);
}

std::string signDocument(const DeviceKey& key, const std::string& xml, std::string* error) {
  auto failed = [error](const char* why) {
    if (error) *error = why;
    return std::string();
  };
  if (!initialiseXmlsec()) return failed("xmlsec não inicializou");
  std::lock_guard<std::mutex> lock(xmlsecMutex);
  Owned<xmlDoc, freeDoc> doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "cfe.xml",
                                           "UTF-8", XML_PARSE_NONET));
  xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  xmlNode* info = root ? xmlFirstElementChild(root) : nullptr;
  xmlAttr* id = info ? xmlHasProp(info, BAD_CAST "Id") : nullptr;
  if (!id) return failed("documento sem infCFe/@Id");
  xmlChar* idValue = xmlNodeListGetString(doc.get(), id->children, 1);
  const std::string reference = "#" + std::string(reinterpret_cast<char*>(idValue));
  xmlAddID(nullptr, doc.get(), idValue, id);
  xmlFree(idValue);

  xmlNode* signature = xmlSecTmplSignatureCreate(doc.get(), xmlSecTransformInclC14NId,
                                                 xmlSecTransformRsaSha256Id, nullptr);
  if (!signature) return failed("modelo de assinatura");
  xmlAddChild(root, signature);
  xmlNode* ref = xmlSecTmplSignatureAddReference(signature, xmlSecTransformSha256Id, nullptr,
                                                 BAD_CAST reference.c_str(), nullptr);
  xmlNode* keyInfo = xmlSecTmplSignatureEnsureKeyInfo(signature, nullptr);
  xmlNode* x509 = keyInfo ? xmlSecTmplKeyInfoAddX509Data(keyInfo) : nullptr;
  if (!ref || !xmlSecTmplReferenceAddTransform(ref, xmlSecTransformEnvelopedId) ||
      !xmlSecTmplReferenceAddTransform(ref, xmlSecTransformInclC14NId) || !x509 ||
      !xmlSecTmplX509DataAddCertificate(x509))
    return failed("modelo de assinatura");

  dropBlankText(signature);
  Owned<xmlSecDSigCtx, freeDsig> ctx(xmlSecDSigCtxCreate(nullptr));
  if (!ctx) return failed("contexto de assinatura");
  ctx->signKey = xmlSecCryptoAppKeyLoadMemory(
      reinterpret_cast<const xmlSecByte*>(key.keyPem.data()),
      static_cast<xmlSecSize>(key.keyPem.size()), xmlSecKeyDataFormatPem, nullptr, nullptr,
      nullptr);
  if (!ctx->signKey ||
      xmlSecCryptoAppKeyCertLoadMemory(
          ctx->signKey, reinterpret_cast<const xmlSecByte*>(key.certificatePem.data()),
          static_cast<xmlSecSize>(key.certificatePem.size()), xmlSecKeyDataFormatPem) < 0)
    return failed("chave do equipamento");
  if (xmlSecDSigCtxSign(ctx.get(), signature) < 0) return failed("assinatura falhou");

  xmlBuffer* buffer = xmlBufferCreate();
  if (!buffer) return failed("memória");
  xmlNodeDump(buffer, doc.get(), root, 0, 0);
  std::string out(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                  static_cast<std::size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return out;
}

}  // namespace tivaxemu
