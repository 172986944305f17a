// SPDX-License-Identifier: MIT
// Request encoding with any field contents, and the round trip through the
// device's echo.
//
// Input: header "function|session|parameters..." (see fuzz_input.h). The
// request line must equal the one built here independently, be the same on
// every call, and end in its single line feed. Then the line comes back as
// the device's echo (line feeds removed, as the link carries it) followed
// by an answer: the answer must be decoded exactly when the echo can be
// recognised, that is when no parameter holds a "|" and no number is
// negative (a sign is not a digit). An empty last parameter leaves the echo
// ending in "|", which still counts as a field.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "request_fields.h"

namespace {

using tivaxfuzz::require;

// The session number as the wire carries it, built without the library:
// the decimal text, sign included, zero-filled on the left to six places.
std::string wireSession(int32_t n) {
  std::string s = std::to_string(n);
  if (s.size() < 6) s.insert(0, 6 - s.size(), '0');
  return s;
}

struct LineBuilder {
  std::string line;
  void number(int32_t& n) { line += '|' + std::to_string(n); }
  void text(std::string& s) { line += '|' + s; }
  void configuration(tivaxfuzz::M::EnvioConfigurarInterfaceDeRede& m) {
    line += '|' + m.getDadosConfiguracao();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tivaxfuzz::FieldReader in(data, size);
  const int id = tivaxfuzz::functionOf(in.integer());

  tivaxfuzz::withTransaction(id, [&](auto& tx) {
    tivaxfuzz::fillRequest(tx.request, in);

    const std::string line = tx.request.pullMessageToSend();
    require(line == tx.request.pullMessageToSend(), "request line differs between calls", line);

    LineBuilder expected;
    expected.line = std::to_string(id) + '|' + wireSession(tx.request.numeroSessao);
    tivaxfuzz::visitFields(tx.request, expected);
    expected.line += '\n';
    require(line == expected.line, "request line differs from the reference", line);

    // The echo is known by the whole request line, whatever its fields hold
    // (a "|" in a text included): the answer after it is decoded whenever
    // its session number reads back.
    const bool recognisable = tx.request.numeroSessao >= 0;

    // What the device sends back: the request as it arrived (the link strips
    // its line feeds), then a well-formed answer for the request's session.
    std::string echo;
    for (char c : line)
      if (c != '\n') echo += c;
    std::string received =
        echo + "\n" + wireSession(tx.request.numeroSessao) + "|12345|6789|ok\n";
    const std::string sent = received;
    tx.response.pushReceivedMessage(received);
    require(received == sent, "decoding changed the received text");

    const bool decoded = tx.validateTransaction();
    require(decoded == recognisable,
            recognisable ? "echo not recognised" : "answer decoded after a foreign echo", line);
  });
  return 0;
}
