// SPDX-License-Identifier: MIT
#include "device_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <type_traits>

namespace tivaxemu {

namespace {

using nlohmann::json;

const int kFormat = 1;

// Every field of the state with its place in the file, for both reading
// and writing: `visit(pointer, member)`.
template <class State, class Visit>
void eachField(State& s, Visit visit) {
  visit("/ativado", s.activated);
  visit("/cnpjContribuinte", s.taxpayerCnpj);
  visit("/cUF", s.cUF);
  visit("/codigoAtivacao", s.activationCode);
  visit("/codigoEmergencia", s.emergencyCode);
  visit("/ie", s.stateRegistration);
  visit("/associacao/cnpjSoftwareHouse", s.softwareHouseCnpj);
  visit("/associacao/signAC", s.signAC);
  visit("/bloqueios/contribuinte", s.blockedByTaxpayer);
  visit("/bloqueios/sefaz", s.blockedBySefaz);
  visit("/bloqueios/autonomo", s.autonomousBlock);
  visit("/bloqueios/codigosErrados", s.lockedOut);
  visit("/codigosErrados", s.wrongCodes);
  visit("/atualizacaoPendente", s.pendingUpdate);
  visit("/ocupadoPorChamadas", s.busyCalls);
  visit("/deslocamentoRelogio", s.clockOffset);
  visit("/rede/tipoLan", s.network.type);
  visit("/rede/lanIP", s.network.ip);
  visit("/rede/lanMask", s.network.mask);
  visit("/rede/lanGW", s.network.gateway);
  visit("/rede/lanDNS1", s.network.dns1);
  visit("/rede/lanDNS2", s.network.dns2);
  visit("/numeroCFe", s.documentNumber);
  visit("/primeiraChave", s.firstKey);
  visit("/ultimaChave", s.lastKey);
  visit("/ultimoCFeEm", s.lastDocumentTime);
  visit("/ultimoCFeInstante", s.lastDocumentAt);
  visit("/ultimaVenda/existe", s.haveSale);
  visit("/ultimaVenda/chave", s.lastSale.key);
  visit("/ultimaVenda/cnpjEmitente", s.lastSale.emitterCnpj);
  visit("/ultimaVenda/ieEmitente", s.lastSale.emitterIe);
  visit("/ultimaVenda/imEmitente", s.lastSale.emitterIm);
  visit("/ultimaVenda/destinatario", s.lastSale.buyer);
  visit("/ultimaVenda/vCFe", s.lastSale.total);
  visit("/ultimaVenda/dEmi", s.lastSale.dEmi);
  visit("/ultimaVenda/hEmi", s.lastSale.hEmi);
  visit("/ultimaVenda/instante", s.lastSale.issuedAt);
  visit("/ultimaVenda/cancelada", s.lastSale.cancelled);
  visit("/ultimaSessaoFiscal", s.lastFiscalAnswer);
  visit("/sessaoAnterior/existe", s.havePrevious);
  visit("/sessaoAnterior/numero", s.previousSession);
  visit("/sessaoAnterior/resposta", s.previousAnswer);
  visit("/log", s.log);
  visit("/chavePrivada", s.key.keyPem);
  visit("/certificado", s.key.certificatePem);
}

json toJson(const DeviceState& s) {
  json j{{"formato", kFormat}};
  eachField(s, [&j](const char* at, const auto& value) { j[json::json_pointer(at)] = value; });
  return j;
}

void fromJson(const json& j, DeviceState& s) {
  eachField(s, [&j](const char* at, auto& value) {
    const json::json_pointer pointer(at);
    if (j.contains(pointer) && !j[pointer].is_null())
      value = j[pointer].get<std::remove_reference_t<decltype(value)>>();
  });
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
