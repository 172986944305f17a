/* SPDX-License-Identifier: MIT */
/* Built against the installed library through pkg-config: connects to the
 * port given and asks the device whether it answers. */
#include <stdio.h>
#include <string.h>
#include <tivax.h>
#include <tivax_version.h>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT EXPECTED_VERSION\n", argv[0]);
    return 2;
  }
  if (strcmp(TIVAX_VERSION, argv[2]) != 0 || TIVAX_VERSION_MAJOR != 1) {
    fprintf(stderr, "header version %s, expected %s\n", TIVAX_VERSION, argv[2]);
    return 1;
  }
  if (!ConfigurarPortaSerial(argv[1])) return 1;
  char *answer = ConsultarSAT(4242);
  int ok = strncmp(answer, "004242|", 7) == 0;
  printf("%s\n", answer);
  DesalocarString(answer);
  TivaxlibDeInit();
  return ok ? 0 : 1;
}
