// SPDX-License-Identifier: MIT
#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <sstream>

namespace tivaxhubtest {

HttpClient::HttpClient(int port, std::string source) : port_(port), source_(std::move(source)) {}

HttpClient::~HttpClient() { close(); }

void HttpClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool HttpClient::connect() {
  if (fd_ >= 0) return true;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int yes = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (!source_.empty()) {
    inet_pton(AF_INET, source_.c_str(), &address.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return close(), false;
  }
  address.sin_port = htons(static_cast<uint16_t>(port_));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return close(), false;
  return true;
}

bool HttpClient::sendRaw(const std::string& bytes) {
  if (!connect()) return false;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// Waits up to `seconds` for the socket to be readable.
bool readable(int fd, double seconds) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(seconds * 1000)) > 0;
}

}  // namespace

bool HttpClient::closedByPeer(double seconds) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  char chunk[4096];
  while (fd_ >= 0 && std::chrono::steady_clock::now() < giveUp) {
    if (!readable(fd_, std::chrono::duration<double>(giveUp - std::chrono::steady_clock::now()).count())) break;
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return close(), true;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  return false;
}

HttpReply HttpClient::readReply(double seconds) {
  HttpReply reply;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  auto more = [&] {
    char chunk[65536];
    const double left = std::chrono::duration<double>(giveUp - std::chrono::steady_clock::now()).count();
    if (fd_ < 0 || left <= 0 || !readable(fd_, left)) return false;
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  };
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!more()) return close(), reply;
  std::istringstream head(buffer_.substr(0, end));
  std::string line;
  std::getline(head, line);
  reply.status = std::atoi(line.substr(line.find(' ') + 1).c_str());
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  const size_t length = std::strtoul(reply.headers["content-length"].c_str(), nullptr, 10);
  while (buffer_.size() < end + 4 + length)
    if (!more()) return close(), HttpReply{};
  reply.body = buffer_.substr(end + 4, length);
  buffer_.erase(0, end + 4 + length);
  if (reply.headers["connection"] == "close") close();
  return reply;
}

HttpReply HttpClient::request(const std::string& method, const std::string& path, const Headers& headers,
                              const std::string& body) {
  std::string head = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  if (!body.empty() || method == "POST") head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  // As curl does, a large body waits for the hub's go-ahead: a refusal
  // then comes before the body is sent.
  const bool ask = body.size() > (1u << 20);
  if (ask) head += "Expect: 100-continue\r\n";
  head += "\r\n";
  auto once = [&] {
    if (!ask) return sendRaw(head + body) ? readReply(timeout_) : HttpReply{};
    if (!sendRaw(head)) return HttpReply{};
    HttpReply interim = readReply(timeout_);
    if (interim.status != 100) return interim;
    return sendRaw(body) ? readReply(timeout_) : HttpReply{};
  };
  // A kept connection the hub closed meanwhile is opened again, once.
  const bool reused = fd_ >= 0;
  HttpReply reply = once();
  if (reply.status == 0 && reused) {
    close();
    reply = once();
  }
  return reply;
}

HttpReply HttpClient::postForm(const std::string& path, const Form& form, Headers headers) {
  headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  return request("POST", path, headers, formBody(form));
}

std::string urlEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string formBody(const Form& form) {
  std::string body;
  for (const auto& [name, value] : form) body += (body.empty() ? "" : "&") + urlEncode(name) + "=" + urlEncode(value);
  return body;
}

std::string multipartBody(const Form& form, const std::string& boundary, const std::vector<std::string>& files) {
  std::string body;
  for (const auto& [name, value] : form) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"";
    if (std::find(files.begin(), files.end(), name) != files.end())
      body += "; filename=\"" + name + ".xml\"\r\nContent-Type: application/xml";
    body += "\r\n\r\n" + value + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

}  // namespace tivaxhubtest
