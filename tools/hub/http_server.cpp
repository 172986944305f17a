// SPDX-License-Identifier: MIT
#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "hub.h"
#include "operations_log.h"

namespace tivaxhub {

namespace {

using Clock = std::chrono::steady_clock;

const char kJson[] = "application/json; charset=utf-8";
const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
// Request line and headers of one connection: past it the engine answers
// 431 (or 414 for the line alone) and closes.
constexpr std::size_t kConnectionMemoryBytes = 64 * 1024;
// Requests that may wait on the device at once, beyond what one client may
// hold open: a client alone cannot take every worker, and the device's
// queue, which takes the checkouts in turn, sees everyone's requests.
constexpr int kWorkersBeyondOneClient = 16;

HttpResponse jsonReply(const HubReply& reply) { return {reply.status, kJson, jsonText(reply.body), {}}; }

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool allDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address && address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address && address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return text;
}

// A few threads that run what may wait on the device.
class Workers {
 public:
  explicit Workers(int count) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this] { loop(); });
  }
  ~Workers() { stop(); }
  // False once stopping: the caller answers by itself.
  bool submit(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
    wake_.notify_one();
    return true;
  }
  // Runs what was submitted, then ends the threads.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      wake_.notify_all();
    }
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// One request from its headers to its answer.
struct Exchange {
  HttpRequest request;
  MHD_PostProcessor* post = nullptr;
  Fields::iterator lastField;
  bool started = false;   // past the first call (headers only)
  bool tooLarge = false;  // the body went past the limit
  bool malformed = false;
  std::mutex mutex;  // the worker's answer, read by the engine's thread
  bool answered = false;
  HttpResponse response;

  ~Exchange() {
    if (post) MHD_destroy_post_processor(post);
  }
};

// Repeated parts of a value (a large one comes in pieces) are joined; a
// repeated field stays repeated, for the hub to refuse.
MHD_Result collectField(void* cls, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                        const char* data, uint64_t off, size_t size) {
  auto* exchange = static_cast<Exchange*>(cls);
  Fields& form = exchange->request.form;
  if (off == 0 || exchange->lastField == form.end() || exchange->lastField->first != key)
    exchange->lastField = form.emplace(key, std::string());
  exchange->lastField->second.append(data ? data : "", size);
  return MHD_YES;
}

MHD_Result collectHeader(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                         size_t valueSize) {
  static_cast<Fields*>(cls)->emplace(lower(std::string(key, keySize)),
                                     value ? std::string(value, valueSize) : std::string());
  return MHD_YES;
}

MHD_Result collectArgument(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                           size_t valueSize) {
  static_cast<Fields*>(cls)->emplace(std::string(key, keySize),
                                     value ? std::string(value, valueSize) : std::string());
  return MHD_YES;
}

// What is wrong with the request's framing, or "": one Content-Length,
// digits only, within the limit, and not together with Transfer-Encoding.
std::string framingProblem(const HttpRequest& request, int* status) {
  *status = 400;
  const auto lengths = request.headers.equal_range("content-length");
  if (lengths.first == lengths.second) return "";
  if (std::next(lengths.first) != lengths.second) return "Content-Length repetido";
  const std::string& length = lengths.first->second;
  if (!allDigits(length) || length.size() > 18) return "Content-Length mal formado";
  if (request.headers.count("transfer-encoding")) return "Content-Length junto com Transfer-Encoding";
  if (std::stoull(length) > kBodyLimitBytes) {
    *status = 413;
    return "corpo da requisição acima do limite de " + std::to_string(kBodyLimitBytes) + " bytes";
  }
  return "";
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

Fields HttpRequest::fields() const {
  Fields all = query;
  all.insert(form.begin(), form.end());
  return all;
}

HttpResponse jsonError(int status, const std::string& erro) {
  HubReply reply;
  reply.status = status;
  reply.body = {{"erro", erro}};
  return jsonReply(reply);
}

struct HttpServer::Engine {
  Engine(HttpServer& owner, std::vector<Route> routes, const HubConfig& config)
      : owner(owner),
        routes(std::move(routes)),
        access(config.clientes, config.token),
        window(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config.prazoRequisicao))) {}

  HttpServer& owner;
  const std::vector<Route> routes;
  AccessPolicy access;
  const Clock::duration window;
  MHD_Daemon* daemon = nullptr;
  std::unique_ptr<Workers> workers;

  // Every open connection, for the watch over slow requests.
  struct Watched {
    int fd = -1;
    Clock::time_point since;
    bool busy = false;  // its request is complete and being answered
    bool cut = false;
  };
  std::mutex watchMutex;
  std::condition_variable watchWake;
  bool stopping = false;
  std::map<MHD_Connection*, Watched> watched;
  std::thread watcher;

  std::mutex runMutex;
  std::condition_variable stopped;
  bool running = false;

  // A connection whose request is not complete `window` after its first
  // byte (or after the previous answer) is shut down: a client that sends
  // a byte now and then holds a connection only that long. The engine sees
  // the shutdown as the client leaving and closes the connection.
  void watch() {
    std::unique_lock<std::mutex> lock(watchMutex);
    while (!stopping) {
      watchWake.wait_for(lock, std::chrono::milliseconds(200));
      const Clock::time_point now = Clock::now();
      for (auto& [connection, w] : watched)
        if (!w.busy && !w.cut && now - w.since > window) {
          w.cut = true;
          ::shutdown(w.fd, SHUT_RDWR);
        }
    }
  }

  void setBusy(MHD_Connection* connection, bool busy) {
    std::lock_guard<std::mutex> lock(watchMutex);
    const auto found = watched.find(connection);
    if (found == watched.end()) return;
    found->second.busy = busy;
    found->second.since = Clock::now();
  }

  static void onConnection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    auto* engine = static_cast<Engine*>(cls);
    std::lock_guard<std::mutex> lock(engine->watchMutex);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      engine->watched.erase(connection);
      return;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    Watched w;
    w.fd = info ? info->connect_fd : -1;
    w.since = Clock::now();
    if (w.fd >= 0) engine->watched[connection] = w;
  }

  static void onCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Exchange*>(*state);
    *state = nullptr;
  }

  MHD_Result answer(MHD_Connection* connection, const HttpResponse& reply, bool close) {
    MHD_Response* response =
        MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (!reply.contentType.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    for (const auto& [name, value] : reply.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    owner.hub_.metrics().countHttp(reply.status);
    setBusy(connection, false);
    return queued;
  }

  // The route for a method and path; with none, the answer that says why.
  const Route* match(HttpRequest& request, HttpResponse* refusal) const {
    const Route* prefixed = nullptr;
    std::string allowed;
    for (const Route& route : routes) {
      const bool prefix = route.path.size() > 1 && route.path.back() == '/';
      const bool fits = prefix ? request.path.compare(0, route.path.size(), route.path) == 0 &&
                                     request.path.size() > route.path.size()
                               : request.path == route.path;
      if (!fits) continue;
      if (request.method != route.method) {
        allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
        continue;
      }
      if (!prefix) return &route;
      if (!prefixed) prefixed = &route;
    }
    if (prefixed) {
      request.tail = request.path.substr(prefixed->path.size());
      return prefixed;
    }
    *refusal = allowed.empty() ? jsonError(404, "caminho desconhecido")
                               : jsonError(405, "método não permitido (use " + allowed + ")");
    if (!allowed.empty()) refusal->headers.emplace_back("Allow", allowed);
    return nullptr;
  }

  static HttpResponse guarded(const Route& route, const HttpRequest& request) {
    try {
      return route.handler(request);
    } catch (const std::exception& e) {
      logMessage(std::string("erro interno: ") + e.what());
      return jsonError(500, std::string("erro interno: ") + e.what());
    }
  }

  // The request is complete: allow-list, token, route, then its handler
  // here or on a worker.
  MHD_Result dispatch(MHD_Connection* connection, Exchange& exchange) {
    HttpRequest& request = exchange.request;
    if (exchange.tooLarge)
      return answer(connection,
                    jsonError(413, "corpo da requisição acima do limite de " + std::to_string(kBodyLimitBytes) + " bytes"),
                    true);
    if (exchange.malformed) return answer(connection, jsonError(400, "corpo do formulário mal formado"), true);
    if (!access.clientAllowed(request.remote)) {
      logMessage("recusado: cliente " + request.remote + " fora das redes permitidas");
      return answer(connection, jsonError(403, "cliente não autorizado"), false);
    }
    // The page carries no data: it is served without the token, and asks
    // for it.
    const bool page = request.method == "GET" && Panel::isPagePath(request.path);
    if (!page && !access.tokenAccepted(request.header("authorization"))) {
      logMessage("recusado: token ausente ou inválido de " + request.remote);
      return answer(connection, jsonError(403, "token ausente ou inválido"), false);
    }
    HttpResponse refusal;
    const Route* route = match(request, &refusal);
    if (!route) return answer(connection, refusal, false);
    if (!route->waits) return answer(connection, guarded(*route, request), false);

    setBusy(connection, true);
    MHD_suspend_connection(connection);
    Exchange* held = &exchange;
    const bool accepted = workers->submit([held, route, connection] {
      HttpResponse response = guarded(*route, held->request);
      {
        std::lock_guard<std::mutex> lock(held->mutex);
        held->response = std::move(response);
        held->answered = true;
      }
      MHD_resume_connection(connection);
    });
    if (!accepted) {
      std::lock_guard<std::mutex> lock(exchange.mutex);
      exchange.response = jsonError(503, "o hub está encerrando");
      exchange.answered = true;
      MHD_resume_connection(connection);
    }
    return MHD_YES;
  }

  // The first call brings the headers; the next ones the body in pieces;
  // the last one (no data) asks for the answer. A suspended request is
  // called once more when its worker resumes it.
  MHD_Result onRequest(MHD_Connection* connection, const char* url, const char* method, const char* upload,
                       size_t* uploadSize, void** state) {
    auto* exchange = static_cast<Exchange*>(*state);
    if (!exchange) {
      exchange = new Exchange;
      *state = exchange;
      HttpRequest& request = exchange->request;
      request.method = method;
      request.path = url;
      MHD_get_connection_values_n(connection, MHD_HEADER_KIND, collectHeader, &request.headers);
      MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, collectArgument, &request.query);
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      request.remote = addressText(info ? info->client_addr : nullptr);
      exchange->lastField = request.form.end();
      int status = 400;
      const std::string problem = framingProblem(request, &status);
      if (!problem.empty()) return answer(connection, jsonError(status, problem), true);
      // Anything but a form is read and counted, not kept.
      exchange->post = MHD_create_post_processor(connection, 64 * 1024, collectField, exchange);
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      exchange->request.bodyBytes += static_cast<std::int64_t>(*uploadSize);
      if (exchange->request.bodyBytes > static_cast<std::int64_t>(kBodyLimitBytes)) {
        // Only a chunked body gets here (a declared length was checked):
        // nothing more of it is read.
        exchange->tooLarge = true;
        return MHD_NO;
      }
      if (exchange->post && !exchange->malformed &&
          MHD_post_process(exchange->post, upload, *uploadSize) != MHD_YES)
        exchange->malformed = true;
      *uploadSize = 0;
      return MHD_YES;
    }
    {
      std::lock_guard<std::mutex> lock(exchange->mutex);
      if (exchange->answered) return answer(connection, exchange->response, false);
    }
    return dispatch(connection, *exchange);
  }

  static MHD_Result onRequestThunk(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                   const char*, const char* upload, size_t* uploadSize, void** state) {
    return static_cast<Engine*>(cls)->onRequest(connection, url, method, upload, uploadSize, state);
  }
};

HttpServer::HttpServer(Hub& hub, HubConfig config) : hub_(hub), config_(std::move(config)), panel_(hub) {
  engine_ = std::make_unique<Engine>(*this, routes(), config_);
}

HttpServer::~HttpServer() { stop(); }

std::vector<Route> HttpServer::routes() {
  const std::string base = config_.base;
  const auto panel = [](PanelReply reply) {
    return HttpResponse{reply.status, std::move(reply.contentType), std::move(reply.body), std::move(reply.headers)};
  };
  const auto page = [this, panel](const HttpRequest& request) { return panel(Panel::page(request.path, config_.base)); };
  return {
      {"GET", "/", false, page},
      {"GET", "/painel", false, page},
      {"GET", "/painel/", false, page},
      {"GET", base + "/estado", false,
       [this, panel](const HttpRequest& request) { return panel(panel_.estado(request.query)); }},
      // A month of documents takes a while: on a worker.
      {"GET", base + "/arquivo", true,
       [this, panel](const HttpRequest& request) { return panel(panel_.arquivo(request.query)); }},
      {"POST", base + "/", true,
       [this](const HttpRequest& request) {
         const HubFunction* function = findFunction(request.tail);
         if (!function) return jsonError(404, "função desconhecida: " + request.tail);
         if (function->administrative && !config_.administrativas) {
           logMessage(std::string("recusado: ") + function->name + " de " + request.remote +
                      " (funções administrativas desativadas)");
           return jsonError(403, std::string("a função administrativa ") + function->name +
                                     " está desativada (administrativas = nao)");
         }
         HubRequest call;
         FieldError problem;
         if (!parseRequest(*function, request.fields(), &call, &problem))
           return jsonError(problem.status, problem.erro);
         return jsonReply(hub_.call(call, RequestOrigin{request.remote, request.bodyBytes}));
       }},
      {"GET", base + "/saude", false, [this](const HttpRequest&) { return jsonReply(hub_.health()); }},
      {"GET", "/metrics", false,
       [this](const HttpRequest&) { return HttpResponse{200, kMetricsType, hub_.metricsText(), {}}; }},
  };
}

bool HttpServer::bind(int* port, std::string* error) {
  Engine& engine = *engine_;
  sockaddr_storage address{};
  const bool v6 = config_.escutarEndereco.find(':') != std::string::npos;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(config_.escutarPorta));
    inet_pton(AF_INET6, config_.escutarEndereco.c_str(), &in6->sin6_addr);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(config_.escutarPorta));
    inet_pton(AF_INET, config_.escutarEndereco.c_str(), &in4->sin_addr);
  }
  const unsigned seconds = static_cast<unsigned>(std::max(1.0, config_.prazoRequisicao + 0.999));
  engine.workers =
      std::make_unique<Workers>(std::min(config_.conexoes, config_.conexoesPorCliente + kWorkersBeyondOneClient));
  engine.daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | (v6 ? MHD_USE_DUAL_STACK : 0),
      static_cast<uint16_t>(config_.escutarPorta), nullptr, nullptr, &Engine::onRequestThunk, &engine,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(config_.conexoes),
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(config_.conexoesPorCliente),
      MHD_OPTION_CONNECTION_TIMEOUT, seconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemoryBytes,
      MHD_OPTION_LISTEN_BACKLOG_SIZE, static_cast<unsigned>(SOMAXCONN),
      MHD_OPTION_STRICT_FOR_CLIENT, 1,
      MHD_OPTION_NOTIFY_COMPLETED, &Engine::onCompleted, &engine,
      MHD_OPTION_NOTIFY_CONNECTION, &Engine::onConnection, &engine,
      MHD_OPTION_END);
  if (!engine.daemon) {
    engine.workers.reset();
    *error = "não foi possível escutar em " + config_.escutarEndereco + ":" + std::to_string(config_.escutarPorta);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(engine.daemon, MHD_DAEMON_INFO_BIND_PORT);
  *port = info ? info->port : config_.escutarPorta;
  engine.watcher = std::thread([&engine] { engine.watch(); });
  std::lock_guard<std::mutex> lock(engine.runMutex);
  engine.running = true;
  return true;
}

void HttpServer::run() {
  std::unique_lock<std::mutex> lock(engine_->runMutex);
  engine_->stopped.wait(lock, [this] { return !engine_->running; });
}

bool HttpServer::waitServing() { return engine_->daemon != nullptr; }

void HttpServer::stop() {
  Engine& engine = *engine_;
  // The workers answer what they hold (the hub refuses once stopping) and
  // resume those connections before the engine goes.
  if (engine.workers) engine.workers->stop();
  {
    std::lock_guard<std::mutex> lock(engine.watchMutex);
    engine.stopping = true;
    engine.watchWake.notify_all();
  }
  if (engine.watcher.joinable()) engine.watcher.join();
  if (engine.daemon) MHD_stop_daemon(engine.daemon);
  engine.daemon = nullptr;
  engine.workers.reset();
  std::lock_guard<std::mutex> lock(engine.runMutex);
  engine.running = false;
  engine.stopped.notify_all();
}

}  // namespace tivaxhub
