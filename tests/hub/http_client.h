// SPDX-License-Identifier: MIT
// A small HTTP/1.1 client for the hub's tests and benchmark: forms sent as
// checkouts send them, and raw bytes for what no well-behaved client sends.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tivaxhubtest {

using Form = std::multimap<std::string, std::string>;
using Headers = std::vector<std::pair<std::string, std::string>>;

// One HTTP answer as it came.
struct HttpReply {
  int status = 0;  // 0: no answer (the connection closed or timed out)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

std::string urlEncode(const std::string& text);
// The form as application/x-www-form-urlencoded.
std::string formBody(const Form& form);
// The form as multipart/form-data with this boundary; fields named in
// `files` go as file parts, as browsers and curl -F send them.
std::string multipartBody(const Form& form, const std::string& boundary,
                          const std::vector<std::string>& files = {});

// An HTTP/1.1 client on one kept connection over loopback, as checkouts
// use the hub; raw bytes too, for what no well-behaved client sends.
class HttpClient {
 public:
  // `source`: the local address to connect from (any 127.x.y.z).
  HttpClient(int port, std::string source = "");
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpReply request(const std::string& method, const std::string& path, const Headers& headers = {},
                    const std::string& body = "");
  HttpReply get(const std::string& path) { return request("GET", path); }
  HttpReply postForm(const std::string& path, const Form& form, Headers headers = {});

  // Connects (if needed) and writes `bytes` as they are. False when the
  // hub closed the connection first.
  bool sendRaw(const std::string& bytes);
  // Reads one answer (status 0 on close or after `seconds`).
  HttpReply readReply(double seconds = 120);
  // True when the hub closed the connection within `seconds`.
  bool closedByPeer(double seconds);
  void close();
  // How long request() waits for an answer (default 120 s).
  void setTimeout(double seconds) { timeout_ = seconds; }

 private:
  bool connect();
  int port_;
  std::string source_;
  int fd_ = -1;
  std::string buffer_;
  double timeout_ = 120;
};

}  // namespace tivaxhubtest
