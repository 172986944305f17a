// SPDX-License-Identifier: MIT
// The device's own key: a 2048-bit RSA key and a self-signed certificate,
// made once and kept in the device's state. It signs each CF-e (an
// enveloped XML signature over infCFe) and the QR code text.
#pragma once

#include <string>

namespace tivaxemu {

struct DeviceKey {
  std::string keyPem;          // PKCS#8 private key
  std::string certificatePem;  // X.509, self-signed
  bool empty() const { return keyPem.empty() || certificatePem.empty(); }
};

// A new key and certificate for the device with this serial number.
// Empty when OpenSSL fails.
DeviceKey makeDeviceKey(const std::string& serial);

// The key the devices without a state file share: made on first use and
// kept for the life of the process.
const DeviceKey& processDeviceKey();

// RSA-SHA256 (PKCS#1 v1.5) over `text`, in base64 (344 characters);
// empty on failure.
std::string signText(const DeviceKey& key, const std::string& text);

// Signs the CF-e in `xml` (root CFe or CFeCanc, first child infCFe with its
// Id): the Signature element is appended to the root. Returns the signed
// document without an XML declaration; empty on failure, with the reason
// in *error.
std::string signDocument(const DeviceKey& key, const std::string& xml, std::string* error);

}  // namespace tivaxemu
