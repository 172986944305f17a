/* SPDX-License-Identifier: MIT */
/*
 * consulta_status: asks the SAT-CF-e device for its operational status and
 * prints the answer line.
 *
 *   consulta_status CODIGO_DE_ATIVACAO [PORTA]
 *
 * Without PORTA the device is found among the USB terminals. TIVAX_TIMEOUT
 * bounds every wait for the device (30 s here unless the environment says
 * otherwise); every invalid result is printed with its reason.
 */
#define _POSIX_C_SOURCE 200809L /* setenv */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <tivax.h>
#include <tivax_version.h>

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "uso: %s CODIGO_DE_ATIVACAO [PORTA]\n", argv[0]);
    return 2;
  }
  const char *codigo = argv[1];

  /* Without a deadline a silent device would hold the call for good. */
  setenv("TIVAX_TIMEOUT", "30", 0);

  /* Either name the port, or let the library find the device. */
  if (argc == 3) {
    ConfigurarPortaSerial(argv[2]); /* 1 even when the port did not open: */
    if (TivaxlibUltimoErro()[0] != '\0') /* then this says why */
      fprintf(stderr, "%s\n", TivaxlibUltimoErro());
  } else if (!TivaxlibInit()) {
    fprintf(stderr, "%s (libtivax %s)\n", TivaxlibUltimoErro(), TIVAX_VERSION);
    return 1;
  }

  /* The session number is the application's choice; one per request. */
  srand((unsigned)time(NULL));
  int sessao = 1 + rand() % 999999;

  char *resposta = ConsultarStatusOperacional(sessao, codigo);
  int ok = resposta[0] != '\0'; /* "" is the invalid result; never NULL */
  if (ok)
    printf("%s\n", resposta);
  else
    fprintf(stderr, "resultado inválido: %s\n", TivaxlibUltimoErro());
  DesalocarString(resposta); /* every result is released this way */

  TivaxlibDeInit();
  return ok ? 0 : 1;
}
