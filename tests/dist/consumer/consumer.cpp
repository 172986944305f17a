// SPDX-License-Identifier: MIT
// Built against the installed library through find_package(tivax): the C
// interface and the C++ extras from a C++ program.
#include <tivax.h>
#include <tivax_version.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT ACTIVATION_CODE\n", argv[0]);
    return 2;
  }
  if (!ConfigurarPortaSerial(argv[1])) return 1;
  char* answer = ConsultarStatusOperacional(2424, argv[2]);
  const std::string line = answer;
  DesalocarString(answer);
  std::printf("%s\n", line.c_str());
  // The C++ extras take a std::string: reaching them proves the C++ linkage.
  char* copy = AllocAndBuildRet(line);
  const bool copied = line == copy;
  DesalocarString(copy);
  std::printf("libtivax %s\n", TIVAX_VERSION);
  TivaxlibDeInit();
  return copied && line.rfind("002424|", 0) == 0 ? 0 : 1;
}
