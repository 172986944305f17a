// SPDX-License-Identifier: MIT
// Answer decoding for every response class, against a request of its own
// function with any parameters.
//
// Input: header "function|session|parameters...", body = the text read from
// the device (any bytes, any number of lines). Decoding must never throw,
// never change the received text, and leave a record that keeps the
// protocol's promises: no line break in what it stores, an answer line
// with a session number of at least six places, nothing stored without a
// stored line, and a validation that agrees with the fields.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "request_fields.h"

namespace {

using tivaxfuzz::require;

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// The first field of a stored line: the session number, zero-filled on the
// left to at least six places (the fill may stand before a minus sign).
bool isWireSession(const std::string& field) {
  if (field.size() < 6) return false;
  size_t i = field.find_first_not_of('0');
  if (i == std::string::npos) return true;
  if (field[i] == '-') ++i;
  if (i == field.size()) return false;
  return field.find_first_not_of("0123456789", i) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tivaxfuzz::FieldReader in(data, size);
  const int id = tivaxfuzz::functionOf(in.integer());

  tivaxfuzz::withTransaction(id, [&](auto& tx) {
    tivaxfuzz::fillRequest(tx.request, in);
    auto& r = tx.response;
    require(r.blockingRead() == (id != 4), "wrong read mode");

    std::string received = in.body();
    r.pushReceivedMessage(received);
    require(received == in.body(), "decoding changed the received text");

    require(!hasLineBreak(r.rawResponse), "line break in the stored line", r.rawResponse);
    require(!hasLineBreak(r.mensagem), "line break in mensagem", r.mensagem);
    require(!hasLineBreak(r.mensagemSEFAZ), "line break in mensagemSEFAZ", r.mensagemSEFAZ);

    if (r.rawResponse.empty()) {
      require(r.numeroSessao == 0 && r.EEEEE == 0 && r.cod == 0 && r.mensagem.empty() &&
                  r.mensagemSEFAZ.empty(),
              "fields decoded without a stored line");
    } else {
      const size_t bar = r.rawResponse.find('|');
      require(bar != std::string::npos, "stored line without a separator", r.rawResponse);
      require(isWireSession(r.rawResponse.substr(0, bar)), "stored line without a session number",
              r.rawResponse);
    }

    const bool sessionQuery = id == 7 || id == 15;
    const bool sameSession = r.numeroSessao == tx.request.numeroSessao;
    if (sessionQuery && !sameSession && !r.mensagem.empty())
      require(r.mensagem == r.rawResponse, "another session's answer not kept whole", r.mensagem);
    else
      require(r.mensagem.find('|') == std::string::npos, "separator inside mensagem", r.mensagem);

    const bool valid = tx.validateTransaction();
    bool expected = !r.mensagem.empty() && (sessionQuery || sameSession);
    if (sameSession) expected = expected && r.EEEEE != 0;
    require(valid == expected, "validation disagrees with the decoded fields");
  });
  return 0;
}
