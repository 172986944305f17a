// SPDX-License-Identifier: MIT
#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "access.h"

namespace tivaxhub {

namespace {

std::string trim(const std::string& text) {
  const char* blanks = " \t\r";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool digitsOnly(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

int integerIn(const std::string& value, int low, int high, const std::string& key) {
  if (!digitsOnly(value) || std::atoi(value.c_str()) < low || std::atoi(value.c_str()) > high)
    throw ConfigError(key + " deve ser um número inteiro de " + std::to_string(low) + " a " +
                      std::to_string(high));
  return std::atoi(value.c_str());
}

// "address:port", with IPv6 addresses in brackets.
void parseListen(const std::string& value, HubConfig& config) {
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw ConfigError("escutar deve ter a forma endereço:porta (por exemplo 127.0.0.1:8088)");
  std::string host = value.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']')
      throw ConfigError("escutar: endereço IPv6 mal formado (use [endereço]:porta)");
    host = host.substr(1, host.size() - 2);
  }
  Network probe;
  if (!parseNetwork(host, &probe))
    throw ConfigError("escutar: \"" + host + "\" não é um endereço IP");
  config.escutarEndereco = host;
  config.escutarPorta = integerIn(value.substr(colon + 1), 0, 65535, "a porta de escutar");
}

void parseSeconds(const std::string& value, HubConfig& config) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(value.c_str(), &end);
  bool plain = !value.empty();
  for (char c : value)
    if (!(c >= '0' && c <= '9') && c != '.') plain = false;
  if (!plain || errno != 0 || *end != '\0' || !(seconds > 0) || seconds > 86400)
    throw ConfigError("prazo deve ser um número de segundos maior que 0 (decimais com ponto)");
  config.prazo = seconds;
  config.prazoTexto = value;
}

std::vector<std::string> networkList(const std::string& value) {
  std::vector<std::string> networks;
  std::string item;
  std::istringstream in(value);
  while (std::getline(in, item, ',')) {
    item = trim(item);
    if (item.empty()) continue;
    Network network;
    if (!parseNetwork(item, &network))
      throw ConfigError("clientes: \"" + item + "\" não é uma rede (por exemplo 192.168.0.0/24)");
    networks.push_back(item);
  }
  return networks;
}

using Setter = std::function<void(const std::string&, HubConfig&)>;

const std::map<std::string, Setter>& setters() {
  static const std::map<std::string, Setter> table = {
      {"porta", [](const std::string& v, HubConfig& c) { c.porta = v; }},
      {"codigo_ativacao",
       [](const std::string& v, HubConfig& c) {
         if (!isFieldText(v))
           throw ConfigError("codigo_ativacao não pode ter \"|\" nem caracteres de controle");
         c.codigoAtivacao = v;
       }},
      {"escutar", parseListen},
      {"diario", [](const std::string& v, HubConfig& c) { c.diario = v; }},
      {"administrativas",
       [](const std::string& v, HubConfig& c) {
         if (v != "sim" && v != "nao") throw ConfigError("administrativas deve ser sim ou nao");
         c.administrativas = v == "sim";
       }},
      {"clientes", [](const std::string& v, HubConfig& c) { c.clientes = networkList(v); }},
      {"token",
       [](const std::string& v, HubConfig& c) {
         for (char ch : v)
           if (static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f)
             throw ConfigError("token não pode ter espaços nem caracteres de controle");
         c.token = v;
       }},
      {"prazo", parseSeconds},
      {"log", [](const std::string& v, HubConfig& c) { c.log = v; }},
      {"base",
       [](const std::string& v, HubConfig& c) {
         if (v.empty() || v.front() != '/' || v.back() == '/' ||
             v.find_first_of(" ?#%\\") != std::string::npos)
           throw ConfigError("base deve começar por \"/\" e não terminar por \"/\" (por exemplo /hub/v1)");
         c.base = v;
       }},
      {"diario_dias",
       [](const std::string& v, HubConfig& c) { c.diarioDias = integerIn(v, 0, 36500, "diario_dias"); }},
      {"diario_max_mb",
       [](const std::string& v, HubConfig& c) {
         c.diarioMegabytes = integerIn(v, 0, 1 << 20, "diario_max_mb");
       }},
      {"consulta_status",
       [](const std::string& v, HubConfig& c) {
         c.consultaStatus = integerIn(v, 0, 86400, "consulta_status");
       }},
      {"arquivo_dias",
       [](const std::string& v, HubConfig& c) { c.arquivoDias = integerIn(v, 0, 36500, "arquivo_dias"); }},
      {"conexoes",
       [](const std::string& v, HubConfig& c) { c.conexoes = integerIn(v, 1, 16384, "conexoes"); }},
      {"conexoes_por_cliente",
       [](const std::string& v, HubConfig& c) {
         c.conexoesPorCliente = integerIn(v, 1, 16384, "conexoes_por_cliente");
       }},
  };
  return table;
}

}  // namespace

bool isFieldText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '|' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

HubConfig parseConfig(const std::string& text) {
  HubConfig config;
  std::map<std::string, int> seen;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string where = "linha " + std::to_string(number) + ": ";
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) throw ConfigError(where + "esperava chave = valor");
    const std::string key = trim(line.substr(0, equals));
    const std::string value = trim(line.substr(equals + 1));
    const auto setter = setters().find(key);
    if (setter == setters().end()) throw ConfigError(where + "chave desconhecida \"" + key + "\"");
    if (seen.count(key))
      throw ConfigError(where + key + " repetida (já na linha " + std::to_string(seen[key]) + ")");
    seen[key] = number;
    try {
      setter->second(value, config);
    } catch (const ConfigError& error) {
      throw ConfigError(where + error.what());
    }
  }
  if (config.codigoAtivacao.empty()) throw ConfigError("falta codigo_ativacao");
  return config;
}

HubConfig loadConfig(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw ConfigError("não foi possível abrir " + path + ": " + std::strerror(errno));
  struct stat st {};
  const bool stated = ::fstat(fd, &st) == 0;
  std::string text;
  if (stated && S_ISREG(st.st_mode) && (st.st_mode & 077) == 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!stated || !S_ISREG(st.st_mode)) throw ConfigError(path + " não é um arquivo comum");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw ConfigError(path + " tem o código de ativação e pode ser lido ou alterado por outros "
                      "usuários (modo " + mode + "); use chmod 600 " + path);
  }
  return parseConfig(text);
}

bool rewriteActivationCode(const std::string& path, const std::string& code, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "não foi possível ler " + path;
    return false;
  }
  std::string text, line;
  bool replaced = false;
  while (std::getline(in, line)) {
    const size_t equals = line.find('=');
    if (!replaced && equals != std::string::npos && trim(line.substr(0, equals)) == "codigo_ativacao" &&
        trim(line).front() != '#') {
      line = "codigo_ativacao = " + code;
      replaced = true;
    }
    text += line + "\n";
  }
  if (!replaced) text += "codigo_ativacao = " + code + "\n";

  const std::string temporary = path + ".novo";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  // The new code must be on disk before the name points at it: a crash
  // in between leaves either the old file or the new one, never a torn one.
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "não foi possível gravar " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace tivaxhub
