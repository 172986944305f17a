// SPDX-License-Identifier: MIT
#include "http_server.h"

#include <httplib.h>

#include <sys/socket.h>

#include <chrono>
#include <exception>
#include <thread>

#include "hub.h"
#include "operations_log.h"

namespace tivaxhub {

namespace {

const char kJson[] = "application/json; charset=utf-8";

void send(httplib::Response& res, const HubReply& reply) {
  res.status = reply.status;
  res.set_content(jsonText(reply.body), kJson);
}

void send(httplib::Response& res, const PanelReply& reply) {
  res.status = reply.status;
  for (const auto& header : reply.headers) res.set_header(header.first, header.second);
  res.set_content(reply.body, reply.contentType);
}

void refuse(httplib::Response& res, int status, const std::string& erro) {
  HubReply reply;
  reply.status = status;
  reply.body = {{"erro", erro}};
  send(res, reply);
}

std::string defaultError(int status) {
  switch (status) {
    case 400:
      return "requisição mal formada";
    case 404:
      return "caminho desconhecido";
    case 405:
      return "método não permitido";
    case 413:
      return "corpo da requisição acima do limite de " + std::to_string(kBodyLimitBytes) + " bytes";
    case 414:
      return "caminho longo demais";
    default:
      return "erro HTTP " + std::to_string(status);
  }
}

}  // namespace

HttpServer::HttpServer(Hub& hub, HubConfig config)
    : hub_(hub),
      config_(std::move(config)),
      access_(config_.clientes, config_.token),
      panel_(hub),
      server_(std::make_unique<httplib::Server>()) {
  const size_t threads = static_cast<size_t>(config_.conexoes);
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_payload_max_length(kBodyLimitBytes);
  server_->set_keep_alive_max_count(1000);
  server_->set_tcp_nodelay(true);
  // The HTTP layer listens with a backlog of 5: a burst of checkouts
  // connecting at once overflows it and some lose their first request.
  // Its socket is caught here, before binding, to listen again with room.
  server_->set_socket_options([this](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listenSocket_ = sock;
  });
  routes();
}

HttpServer::~HttpServer() = default;

void HttpServer::routes() {
  const std::string base = config_.base;

  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!access_.clientAllowed(req.remote_addr)) {
      logMessage("recusado: cliente " + req.remote_addr + " fora das redes permitidas");
      refuse(res, 403, "cliente não autorizado");
      return httplib::Server::HandlerResponse::Handled;
    }
    // The page carries no data: it is served without the token, and asks
    // for it.
    if (req.method == "GET" && Panel::isPagePath(req.path)) return httplib::Server::HandlerResponse::Unhandled;
    if (!access_.tokenAccepted(req.get_header_value("Authorization"))) {
      logMessage("recusado: token ausente ou inválido de " + req.remote_addr);
      refuse(res, 403, "token ausente ou inválido");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server_->Post(base + "/([a-z]+)", [this](const httplib::Request& req, httplib::Response& res) {
    const HubFunction* function = findFunction(req.matches[1]);
    if (!function) return refuse(res, 404, "função desconhecida: " + std::string(req.matches[1]));
    if (function->administrative && !config_.administrativas) {
      logMessage(std::string("recusado: ") + function->name + " de " + req.remote_addr +
                 " (funções administrativas desativadas)");
      return refuse(res, 403, std::string("a função administrativa ") + function->name +
                                  " está desativada (administrativas = nao)");
    }
    HubRequest request;
    FieldError problem;
    if (!parseRequest(*function, req.params, &request, &problem)) return refuse(res, problem.status, problem.erro);
    send(res, hub_.call(request, RequestOrigin{req.remote_addr, static_cast<std::int64_t>(req.body.size())}));
  });

  server_->Get(base + "/saude",
               [this](const httplib::Request&, httplib::Response& res) { send(res, hub_.health()); });
  const auto page = [this](const httplib::Request& req, httplib::Response& res) {
    send(res, Panel::page(req.path, config_.base));
  };
  server_->Get("/", page);
  server_->Get("/painel", page);
  server_->Get("/painel/[a-z.]+", page);
  server_->Get(base + "/estado",
               [this](const httplib::Request& req, httplib::Response& res) { send(res, panel_.estado(req.params)); });
  server_->Get(base + "/arquivo",
               [this](const httplib::Request& req, httplib::Response& res) { send(res, panel_.arquivo(req.params)); });
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(hub_.metricsText(), "text/plain; version=0.0.4; charset=utf-8");
  });

  // Statuses set by the HTTP layer itself (unknown path, body too large)
  // get the same JSON shape as the hub's own.
  server_->set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        refuse(res, res.status, defaultError(res.status));
        return httplib::Server::HandlerResponse::Handled;
      }));
  server_->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "erro interno";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what += std::string(": ") + e.what();
    } catch (...) {
    }
    logMessage(what);
    refuse(res, 500, what);
  });
  server_->set_logger([this](const httplib::Request&, const httplib::Response& res) {
    hub_.metrics().countHttp(res.status);
  });
}

bool HttpServer::bind(int* port, std::string* error) {
  const HubConfig& config = config_;
  bool bound = false;
  if (config.escutarPorta == 0) {
    *port = server_->bind_to_any_port(config.escutarEndereco);
    bound = *port > 0;
  } else if (server_->bind_to_port(config.escutarEndereco, config.escutarPorta)) {
    *port = config.escutarPorta;
    bound = true;
  }
  if (bound) {
    if (listenSocket_ >= 0) ::listen(listenSocket_, SOMAXCONN);
    return true;
  }
  *error = "não foi possível escutar em " + config.escutarEndereco + ":" + std::to_string(config.escutarPorta);
  return false;
}

void HttpServer::run() { server_->listen_after_bind(); }

bool HttpServer::waitServing() {
  for (int i = 0; i < 10000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return server_->is_running();
}

void HttpServer::stop() { server_->stop(); }

}  // namespace tivaxhub
