// SPDX-License-Identifier: MIT
// Everything a device remembers between requests, and between runs when it
// is kept in a state file (JSON, replaced atomically: write a temporary
// file, fsync it, rename it over the old one, fsync the directory).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "signer.h"

namespace tivaxemu {

struct NetworkSettings {
  std::string type = "DHCP";
  std::string ip = "192.168.1.50";
  std::string mask = "255.255.255.0";
  std::string gateway = "192.168.1.1";
  std::string dns1 = "8.8.8.8";
  std::string dns2 = "8.8.4.4";
};

// The last sale: what a cancellation must match and what its document
// repeats.
struct LastSale {
  std::string key;  // 44 digits
  std::string emitterCnpj, emitterIe, emitterIm;
  std::string buyer;  // CPF or CNPJ; empty when none
  std::string total;  // "12.50"
  std::string dEmi, hEmi;
  std::int64_t issuedAt = 0;  // device clock, seconds since the epoch
  bool cancelled = false;
};

struct DeviceState {
  // Activation.
  bool activated = false;
  std::string taxpayerCnpj;  // empty on the built-in identity: any emitter
  std::string cUF = "35";
  std::string activationCode;
  std::string emergencyCode;
  std::string stateRegistration;  // IE; set by the first sale when not parametrised
  // Software-house association (CNPJ and signAC).
  std::string softwareHouseCnpj;
  std::string signAC;
  // Blocks and the run of wrong activation codes.
  bool blockedByTaxpayer = false;
  bool blockedBySefaz = false;
  bool autonomousBlock = false;  // lack of communication with SEFAZ
  bool lockedOut = false;        // after too many wrong codes
  int wrongCodes = 0;
  bool pendingUpdate = false;
  int busyCalls = 0;  // the next calls answer xx098
  std::int64_t clockOffset = 0;  // seconds added to the host's clock
  NetworkSettings network;
  // Documents.
  std::int64_t documentNumber = 0;
  std::string firstKey, lastKey, lastDocumentTime;
  std::int64_t lastDocumentAt = 0;  // device clock of the last CF-e
  bool haveSale = false;
  LastSale lastSale;
  std::string lastFiscalAnswer;  // the whole answer of the last sale or cancellation
  // The preceding session, for ConsultarNumeroSessao.
  bool havePrevious = false;
  std::int32_t previousSession = 0;
  std::string previousAnswer;
  std::deque<std::string> log;
  DeviceKey key;
};

// Reads a state file. False with the reason when it exists but cannot be
// read; a missing file leaves `state` as given (a new device) and is true.
bool loadState(const std::string& path, DeviceState& state, std::string& error);
// Replaces the state file atomically.
bool saveState(const std::string& path, const DeviceState& state, std::string& error);

// The state as JSON text; codes and the private key masked when `masked`.
std::string stateJson(const DeviceState& state, bool masked);

}  // namespace tivaxemu
