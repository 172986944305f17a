// SPDX-License-Identifier: MIT
// The operator's page and its data, apart from any HTTP engine: each
// handler takes the request's path or query and returns the status, the
// content type, the headers and the body. The page itself carries no
// data; it asks {base}/estado for it, with the bearer token when one is
// configured.
#ifndef TIVAX_HUB_PANEL_H
#define TIVAX_HUB_PANEL_H

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace tivaxhub {

class Hub;

struct PanelReply {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

using Query = std::multimap<std::string, std::string>;

// The page's files, compiled into the program.
struct PanelAsset {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
extern const PanelAsset kPanelAssets[];
extern const std::size_t kPanelAssetCount;

class Panel {
 public:
  explicit Panel(Hub& hub) : hub_(hub) {}

  // "/", "/painel" and "/painel/<file>": served without the token (they
  // carry no data); the allow-list still applies.
  static bool isPagePath(const std::string& path);
  // `base` goes into the page for its data requests.
  static PanelReply page(const std::string& path, const std::string& base);

  // GET {base}/estado[?caixa=N]
  PanelReply estado(const Query& query) const;
  // GET {base}/arquivo?de=AAAA-MM-DD&ate=AAAA-MM-DD: the period's CF-e as a zip.
  PanelReply arquivo(const Query& query) const;

 private:
  Hub& hub_;
};

// The state the page shows, as {base}/estado returns it (tivax-hub(8)).
nlohmann::ordered_json estadoJson(Hub& hub, int caixa, std::int64_t nowMs);

}  // namespace tivaxhub

#endif
