// SPDX-License-Identifier: MIT
#include "device_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace tivaxemu {

namespace {

using nlohmann::json;

const int kFormat = 1;

json toJson(const DeviceState& s) {
  json log = json::array();
  for (const std::string& line : s.log) log.push_back(line);
  return json{
      {"formato", kFormat},
      {"ativado", s.activated},
      {"cnpjContribuinte", s.taxpayerCnpj},
      {"cUF", s.cUF},
      {"codigoAtivacao", s.activationCode},
      {"codigoEmergencia", s.emergencyCode},
      {"ie", s.stateRegistration},
      {"associacao", {{"cnpjSoftwareHouse", s.softwareHouseCnpj}, {"signAC", s.signAC}}},
      {"bloqueios",
       {{"contribuinte", s.blockedByTaxpayer},
        {"sefaz", s.blockedBySefaz},
        {"autonomo", s.autonomousBlock},
        {"codigosErrados", s.lockedOut}}},
      {"codigosErrados", s.wrongCodes},
      {"atualizacaoPendente", s.pendingUpdate},
      {"ocupadoPorChamadas", s.busyCalls},
      {"deslocamentoRelogio", s.clockOffset},
      {"rede",
       {{"tipoLan", s.network.type},
        {"lanIP", s.network.ip},
        {"lanMask", s.network.mask},
        {"lanGW", s.network.gateway},
        {"lanDNS1", s.network.dns1},
        {"lanDNS2", s.network.dns2}}},
      {"numeroCFe", s.documentNumber},
      {"primeiraChave", s.firstKey},
      {"ultimaChave", s.lastKey},
      {"ultimoCFeEm", s.lastDocumentTime},
      {"ultimoCFeInstante", s.lastDocumentAt},
      {"ultimaVenda",
       s.haveSale ? json{{"chave", s.lastSale.key},
                         {"cnpjEmitente", s.lastSale.emitterCnpj},
                         {"ieEmitente", s.lastSale.emitterIe},
                         {"imEmitente", s.lastSale.emitterIm},
                         {"destinatario", s.lastSale.buyer},
                         {"vCFe", s.lastSale.total},
                         {"dEmi", s.lastSale.dEmi},
                         {"hEmi", s.lastSale.hEmi},
                         {"instante", s.lastSale.issuedAt},
                         {"cancelada", s.lastSale.cancelled}}
                  : json(nullptr)},
      {"ultimaSessaoFiscal", s.lastFiscalAnswer},
      {"sessaoAnterior",
       s.havePrevious ? json{{"numero", s.previousSession}, {"resposta", s.previousAnswer}}
                      : json(nullptr)},
      {"log", log},
      {"chavePrivada", s.key.keyPem},
      {"certificado", s.key.certificatePem},
  };
}

template <typename T>
void take(const json& j, const char* name, T& into) {
  const auto found = j.find(name);
  if (found != j.end() && !found->is_null()) into = found->get<T>();
}

void fromJson(const json& j, DeviceState& s) {
  take(j, "ativado", s.activated);
  take(j, "cnpjContribuinte", s.taxpayerCnpj);
  take(j, "cUF", s.cUF);
  take(j, "codigoAtivacao", s.activationCode);
  take(j, "codigoEmergencia", s.emergencyCode);
  take(j, "ie", s.stateRegistration);
  if (j.contains("associacao")) {
    take(j["associacao"], "cnpjSoftwareHouse", s.softwareHouseCnpj);
    take(j["associacao"], "signAC", s.signAC);
  }
  if (j.contains("bloqueios")) {
    const json& b = j["bloqueios"];
    take(b, "contribuinte", s.blockedByTaxpayer);
    take(b, "sefaz", s.blockedBySefaz);
    take(b, "autonomo", s.autonomousBlock);
    take(b, "codigosErrados", s.lockedOut);
  }
  take(j, "codigosErrados", s.wrongCodes);
  take(j, "atualizacaoPendente", s.pendingUpdate);
  take(j, "ocupadoPorChamadas", s.busyCalls);
  take(j, "deslocamentoRelogio", s.clockOffset);
  if (j.contains("rede")) {
    const json& r = j["rede"];
    take(r, "tipoLan", s.network.type);
    take(r, "lanIP", s.network.ip);
    take(r, "lanMask", s.network.mask);
    take(r, "lanGW", s.network.gateway);
    take(r, "lanDNS1", s.network.dns1);
    take(r, "lanDNS2", s.network.dns2);
  }
  take(j, "numeroCFe", s.documentNumber);
  take(j, "primeiraChave", s.firstKey);
  take(j, "ultimaChave", s.lastKey);
  take(j, "ultimoCFeEm", s.lastDocumentTime);
  take(j, "ultimoCFeInstante", s.lastDocumentAt);
  s.haveSale = j.contains("ultimaVenda") && j["ultimaVenda"].is_object();
  if (s.haveSale) {
    const json& v = j["ultimaVenda"];
    take(v, "chave", s.lastSale.key);
    take(v, "cnpjEmitente", s.lastSale.emitterCnpj);
    take(v, "ieEmitente", s.lastSale.emitterIe);
    take(v, "imEmitente", s.lastSale.emitterIm);
    take(v, "destinatario", s.lastSale.buyer);
    take(v, "vCFe", s.lastSale.total);
    take(v, "dEmi", s.lastSale.dEmi);
    take(v, "hEmi", s.lastSale.hEmi);
    take(v, "instante", s.lastSale.issuedAt);
    take(v, "cancelada", s.lastSale.cancelled);
  }
  take(j, "ultimaSessaoFiscal", s.lastFiscalAnswer);
  s.havePrevious = j.contains("sessaoAnterior") && j["sessaoAnterior"].is_object();
  if (s.havePrevious) {
    take(j["sessaoAnterior"], "numero", s.previousSession);
    take(j["sessaoAnterior"], "resposta", s.previousAnswer);
  }
  if (j.contains("log"))
    for (const json& line : j["log"]) s.log.push_back(line.get<std::string>());
  take(j, "chavePrivada", s.key.keyPem);
  take(j, "certificado", s.key.certificatePem);
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

bool loadState(const std::string& path, DeviceState& state, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return true;
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  try {
    const json j = json::parse(text.str());
    if (!j.is_object() || j.value("formato", 0) != kFormat) {
      error = path + ": não é um arquivo de estado do emulador";
      return false;
    }
    DeviceState loaded;
    fromJson(j, loaded);
    state = std::move(loaded);
    return true;
  } catch (const std::exception& e) {
    error = path + ": arquivo de estado ilegível: " + e.what();
    return false;
  }
}

bool saveState(const std::string& path, const DeviceState& state, std::string& error) {
  const std::string text = toJson(state).dump(2) + "\n";
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = temporary + ": " + std::strerror(errno);
    return false;
  }
  const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  const int saved = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(written ? errno : saved);
    ::unlink(temporary.c_str());
    return false;
  }
  const int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::string stateJson(const DeviceState& state, bool masked) {
  json j = toJson(state);
  if (masked) {
    for (const char* name : {"codigoAtivacao", "codigoEmergencia"})
      if (!j[name].get<std::string>().empty()) j[name] = "********";
    j.erase("chavePrivada");
  }
  return j.dump(2);
}

}  // namespace tivaxemu
