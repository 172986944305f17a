// SPDX-License-Identifier: MIT
// The form fields of a request, checked before anything reaches the
// device: the checkout, the request id and the function's own fields.
#ifndef TIVAX_HUB_FIELDS_H
#define TIVAX_HUB_FIELDS_H

#include <map>
#include <string>

#include "functions.h"

namespace tivaxhub {

constexpr int kMaxCheckout = 999;
constexpr std::size_t kMaxRequestIdBytes = 64;

struct HubRequest {
  const HubFunction* function = nullptr;
  int caixa = 0;
  std::string id;  // empty: no id_requisicao
  FieldValues values;
  std::string resumo;  // set by the hub for a request with an id
};

struct FieldError {
  int status = 0;  // 400, or 413 for a document over the device's limit
  std::string erro;
};

// The decoded form (name to value; a name may come more than once).
// True with *request filled, or false with *error.
bool parseRequest(const HubFunction& function, const std::multimap<std::string, std::string>& form,
                  HubRequest* request, FieldError* error);

}  // namespace tivaxhub

#endif
