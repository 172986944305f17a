/* SPDX-License-Identifier: MIT */
/* The public header must be plain C99, and include twice without harm. */
#include "tivax.h"
#include "tivax.h"

#include <stdio.h>

int main(void) {
  /* Refused for its argument: no device is needed. */
  char *r = ConsultarNumeroSessao(1, "12345678", 0);
  int ok = r != NULL && r[0] == '\0';
  const char *why = TivaxlibUltimoErro();
  ok = ok && why != NULL && why[0] != '\0';
  DesalocarString(r);
  DesalocarString(NULL);
  if (!ok) {
    fprintf(stderr, "unexpected result\n");
    return 1;
  }
  return 0;
}
