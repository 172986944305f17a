// SPDX-License-Identifier: MIT
// The hub's HTTP face: POST {base}/{funcao} with form fields, GET
// {base}/saude and GET /metrics, behind the client allow-list and the
// bearer token.
#ifndef TIVAX_HUB_HTTP_SERVER_H
#define TIVAX_HUB_HTTP_SERVER_H

#include <cstddef>
#include <memory>
#include <string>

#include "access.h"
#include "config.h"
#include "functions.h"
#include "panel.h"

namespace httplib {
class Server;
}

namespace tivaxhub {

class Hub;

// Room for a sale at the device's limit written entirely as %XX escapes,
// and for the other fields.
constexpr std::size_t kBodyLimitBytes = 3 * kSaleLimitBytes + 64 * 1024;

class HttpServer {
 public:
  // The HTTP settings (address, base, clients, token, administrative
  // functions, connections) come from `config`, the device's from the hub.
  HttpServer(Hub& hub, HubConfig config);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the configured address; the port bound in *port (the configured
  // one, or the one the system chose for 0).
  bool bind(int* port, std::string* error);
  // Serves until stop().
  void run();
  // Waits (up to 10 s) until run() is serving: a stop() before that would
  // be lost.
  bool waitServing();
  void stop();

 private:
  void routes();
  Hub& hub_;
  HubConfig config_;
  AccessPolicy access_;
  Panel panel_;
  std::unique_ptr<httplib::Server> server_;
  int listenSocket_ = -1;
};

}  // namespace tivaxhub

#endif
