// SPDX-License-Identifier: MIT
// The hub's HTTP face: POST {base}/{funcao} with form fields, GET
// {base}/saude and GET /metrics, behind the client allow-list and the
// bearer token.
//
// The engine is libmicrohttpd on one epoll thread: an idle or slow
// connection costs a socket and a little memory, never a thread. What waits
// on the device runs on a few workers while its connection is suspended.
// Every request is bounded: headers by the per-connection memory, the body
// by kBodyLimitBytes, connections in total and per client, and the time
// from a request's first byte (or the previous answer) to its last.
#ifndef TIVAX_HUB_HTTP_SERVER_H
#define TIVAX_HUB_HTTP_SERVER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "access.h"
#include "config.h"
#include "functions.h"
#include "panel.h"

namespace tivaxhub {

class Hub;

// Room for a sale at the device's limit written entirely as %XX escapes,
// and for the other fields.
constexpr std::size_t kBodyLimitBytes = 3 * kSaleLimitBytes + 64 * 1024;

using Fields = std::multimap<std::string, std::string>;

// One complete request as a route sees it.
struct HttpRequest {
  std::string method;
  std::string path;
  std::string tail;    // for a prefix route, what follows its prefix
  Fields query;        // from the URL
  Fields form;         // from the body (URL-encoded or multipart)
  Fields headers;      // names in lower case
  std::string remote;  // the client's address
  std::int64_t bodyBytes = 0;

  // The first value of a header ("" when absent); `name` in lower case.
  std::string header(const std::string& name) const;
  // The query's fields and the form's together.
  Fields fields() const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType;
  std::string body;  // any bytes
  std::vector<std::pair<std::string, std::string>> headers;
};

// A JSON answer: {"erro": erro} with that status.
HttpResponse jsonError(int status, const std::string& erro);

struct Route {
  const char* method;
  std::string path;  // exact, or a prefix when it ends with "/"
  // True when the handler may wait (on the device): it then runs on a
  // worker, never on the thread that serves every connection.
  bool waits;
  std::function<HttpResponse(const HttpRequest&)> handler;
};

class HttpServer {
 public:
  // The HTTP settings (address, base, clients, token, administrative
  // functions, connections) come from `config`, the device's from the hub.
  HttpServer(Hub& hub, HubConfig config);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the configured address and starts serving; the port bound in
  // *port (the configured one, or the one the system chose for 0).
  bool bind(int* port, std::string* error);
  // Returns after stop().
  void run();
  // True once bind() succeeded (kept for callers that wait for it).
  bool waitServing();
  // Lets the workers finish what they hold, then closes every connection.
  // Idempotent.
  void stop();

  struct Engine;

 private:
  std::vector<Route> routes();
  Hub& hub_;
  HubConfig config_;
  Panel panel_;
  std::unique_ptr<Engine> engine_;
};

}  // namespace tivaxhub

#endif
