// SPDX-License-Identifier: MIT
// One of the programs that share the device in the hammer test: it makes
// its calls through the shared library, as an application would, and
// checks that every answer is its own.
//
// Usage: hammer_worker PORT FIRST_SESSION CALLS
// Exit status 0 when every call got its own valid answer.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tivax.h"

namespace {

std::string take(char* result) {
  std::string copy = result ? result : "";
  DesalocarString(result);
  return copy;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hammer_worker PORT FIRST_SESSION CALLS\n");
    return 2;
  }
  const int first = std::atoi(argv[2]);
  const int calls = std::atoi(argv[3]);
  const auto start = std::chrono::steady_clock::now();
  if (ConfigurarPortaSerial(argv[1]) != 1) return 2;
  int invalid = 0, wrong = 0;
  for (int i = 0; i < calls; ++i) {
    const int session = first + i;
    // Two functions in turn, with answers of different shapes.
    const bool status = i % 2 == 0;
    const std::string answer =
        take(status ? ConsultarStatusOperacional(session, "12345678") : AtualizarSoftwareSAT(session, "12345678"));
    const std::string expected = std::to_string(session) + (status ? "|10000|" : "|14000|");
    if (answer.empty()) {
      ++invalid;
    } else if (answer.compare(0, expected.size(), expected) != 0) {
      ++wrong;
      std::fprintf(stderr, "session %d got: %.60s\n", session, answer.c_str());
    }
  }
  TivaxlibDeInit();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[hammer] sessions %d-%d: %d calls, %d invalid, %d not their own, %.1f s\n", first,
              first + calls - 1, calls, invalid, wrong, seconds);
  return invalid == 0 && wrong == 0 ? 0 : 1;
}
