/* SPDX-License-Identifier: MIT */
/*
 * tivax.h - drive a SAT-CF-e fiscal device from a point-of-sale application.
 *
 * Every SAT function sends one request line to the device over its USB
 * serial link, waits for the answer line, checks it against the request and
 * returns it as a newly allocated, zero-terminated string.
 *
 * Result strings
 *   Every SAT function returns a string that the caller owns and must release
 *   with DesalocarString(); never free() or delete it yourself. A SAT function
 *   never returns NULL. On success the string holds the device's answer line
 *   ("|"-separated fields, carriage returns removed, no line terminator, the
 *   first field written as a session number of at least six digits). When the
 *   call was refused (a NULL argument, see each function), the device could
 *   not be reached, or the answer did not match the request, the string is
 *   empty (""): the "invalid result".
 *
 * Connection
 *   Call one of the two at start-up, not both: ConfigurarPortaSerial() when
 *   the application knows the port (it stores the path and connects through
 *   it), or TivaxlibInit() to find the device by its USB identity (a ttyACM
 *   terminal with vendor id 0x1d6b, product id 0x0104 and product string
 *   "Tivax1") and connect. Opening a port takes one second, so calling both
 *   costs two. A SAT function that finds no open link opens it and goes on
 *   with its own exchange, so an application that never calls TivaxlibInit
 *   works from its first call; only when the link cannot be opened is the
 *   result the invalid one. The port is not inherited by programs the
 *   application starts (it is opened close-on-exec).
 *
 * Deadline and reasons
 *   Without the environment variable TIVAX_TIMEOUT (seconds, "30" or "2,5")
 *   every SAT function but ConsultarSAT waits for the device without limit:
 *   a device that stays silent holds the call for good. Set it in
 *   production; it is read at the first call and again by TivaxlibInit()
 *   and ConfigurarPortaSerial(). After every invalid result,
 *   TivaxlibUltimoErro() says why, in Portuguese.
 *
 * Blocking and threads
 *   Calls run on the caller's thread and block until the exchange ends.
 *   Every SAT function except ConsultarSAT waits for the device's answer
 *   as long as the device takes, unless TIVAX_TIMEOUT is set; ConsultarSAT
 *   gives up after about three seconds of silence. SAT functions may be
 *   called from several threads: whole exchanges are serialised inside the
 *   library, so calls wait for one another.
 *
 *   Several processes may use one device (a technician's tool while the
 *   till sells): each exchange, from the request to the end of its answer,
 *   holds an exclusive flock() on the port, and a process that finds the
 *   port busy waits its turn. Programs that use the port without this
 *   library should take the same lock.
 *
 *   TivaxlibInit (when it is to connect), TivaxlibDeInit and
 *   ConfigurarPortaSerial, called while another thread's SAT function waits
 *   for the device (for its answer, for room to write, or for its turn on
 *   the port), end that wait: the waiting call returns the invalid result
 *   at once, calls queued behind it do not start, and then the set-up
 *   function does its work. A silent device therefore never holds the
 *   set-up functions. Signals are not needed and not used.
 *
 * TIVAX_TIMEOUT
 *   An environment variable, read when the library first needs it: the
 *   longest wait, in seconds (decimals with a ".", such as 2.5, whatever
 *   the locale), for an answer (from the end of the request to the end of
 *   the answer line, an echo of the request included), for another
 *   process's exchange on the port, and for the device to take the bytes
 *   of a request. The call then returns the invalid result. Unset, empty or
 *   0: no limit. A value that is not a number of seconds is ignored, with
 *   one line on standard error. ConsultarSAT keeps its own shorter limit.
 *
 * Reasons
 *   After a call that returned the invalid result (or 0 from a set-up
 *   function that could not do its work), TivaxlibUltimoErro() tells the
 *   calling thread why, in Portuguese: a fixed phrase that names the kind
 *   of failure, then ": " and the details (the port, the operating
 *   system's error text, counts, session numbers). Programs may compare
 *   the phrase; the details are for people. The phrases:
 *     "argumento nulo"                a text argument is NULL (which one)
 *     "argumento inválido"            an empty port path, cNumeroDeSessao < 1
 *     "nenhum equipamento encontrado" discovery found no ttyACM terminal
 *                                     with the USB identity, or found one
 *                                     whose product string differs
 *     "porta não abre"                the path is missing, not permitted
 *                                     (the dialout group), or not a terminal
 *     "configuração recusada"         the terminal refused its settings
 *     "falha de escrita"              the request could not be written
 *     "sem resposta"                  ConsultarSAT heard nothing in ~3 s
 *     "tempo esgotado"                no answer within TIVAX_TIMEOUT
 *     "porta ocupada"                 another process held the port for
 *                                     longer than TIVAX_TIMEOUT
 *     "chamada cancelada"             TivaxlibDeInit, ConfigurarPortaSerial
 *                                     or TivaxlibInit ended the wait
 *     "conexão perdida"               the device hung up (unplugged, reset)
 *     "resposta grande demais"        the answer passed the 2 MiB cap
 *     "resposta de outra sessão"      the answer carries another session
 *     "eco diferente do pedido"       a line before the answer is not the
 *                                     echo of this request
 *     "campos insuficientes"          the answer has too few fields
 *     "resposta ilegível"             a field that must be a number is not
 *     "resposta sem resultado"        result code 0, or an empty message
 *     "erro interno"                  out of memory, or a library fault
 *   When the call found the link closed and opened it again, the text ends
 *   with " (a conexão com o equipamento estava fechada e foi aberta de novo
 *   nesta chamada)". A sale refused by the library itself (06010) is a
 *   valid answer: its reason is "".
 *
 * TIVAX_LOG
 *   An environment variable, read when the library first needs it. Unset
 *   or empty: nothing is logged. "stderr", or a file path (opened for
 *   append, created with mode 0600): every event on the link is one line,
 *   written with a single write(), so that threads and processes sharing
 *   the file never interleave within a line:
 *     2026-12-09 10:15:02.517 [4121:4125] send: ConsultarSAT session=000042 line="4|000042" bytes=9
 *   (local time, process id, thread id, event, details). The events:
 *   discovery, open, settings, lock (waiting for another process), send,
 *   receive (byte count, time to the first byte and in all, whether the
 *   request came back as an echo, the answer), verdict (valid, or the
 *   reason), reconnect, cancel, refusal (a sale refused by the library) and
 *   stderr (the diagnostics below, copied). Activation and emergency codes
 *   are written as "********"; certificates, signatures and any field over
 *   256 bytes are cut to their first 64 bytes and their length, unless
 *   TIVAX_LOG_COMPLETO=1. A log that cannot be opened is reported once on
 *   standard error; one that fails later is given up quietly. No call's
 *   result depends on the log.
 *
 * Diagnostics
 *   Failures of the link are also written to standard error, one line
 *   each, in English ("SerialPort::portOpen: Unable to open device ..."),
 *   as they always were; a failed open prints its line once per attempt.
 *
 * Texts are byte strings and are sent as they are, except the sale and
 * cancellation XML, which are made valid UTF-8 and have every "|" replaced
 * by "&#x7c;" before they are sent. A sale whose XML breaks the CF-e 0.07
 * input layout is answered by the library itself, without reaching the
 * device, with a line of the form
 *   <session>|06010|1999|Erro no XML: <detail>||
 */
#ifndef TIVAX_H
#define TIVAX_H

#if defined(TIVAX_BUILDING_LIBRARY)
#define TIVAX_API __attribute__((visibility("default")))
#else
#define TIVAX_API
#endif

#ifdef __cplusplus
#include <string>
extern "C" {
#endif

/* ---- Set-up ---------------------------------------------------------- */

/* Connects to the device: the configured port, or the one found by USB
 * discovery. Returns 1 when connected, 0 otherwise (TivaxlibUltimoErro()
 * then says why). A second call after a
 * successful one returns 1 at once without touching the device. */
TIVAX_API int TivaxlibInit(void);

/* Closes the link to the device. Always returns 1. Harmless when called
 * twice; a later TivaxlibInit or SAT function connects again. */
TIVAX_API int TivaxlibDeInit(void);

/* Sets the serial port path (for example "/dev/ttyACM0") used from now on,
 * instead of USB discovery, and connects through it: no TivaxlibInit() is
 * needed after it. Returns 1 when a non-empty path was stored (whether or
 * not it could be opened: TivaxlibUltimoErro() is "" when it was, and says
 * why when it was not or when the terminal refused its settings), 0 for NULL or "" (nothing changes). */
TIVAX_API int ConfigurarPortaSerial(const char *porta);

/* Returns 1 when a device with USB product string "Tivax1" is plugged in,
 * 0 otherwise (TivaxlibUltimoErro() then says what discovery found).
 * Looks at the system only, not at the link. */
TIVAX_API int DispositivoConectado(void);

/* Releases a string returned by any function of this library. NULL is
 * accepted and ignored. */
TIVAX_API void DesalocarString(char *s);

/* Why the calling thread's last call into the library failed; see
 * "Reasons" above. Never NULL; "" after a valid answer (a 06010 refusal
 * line included). The text belongs to the library and stays valid until
 * the thread's next call to a library function other than DesalocarString
 * and TivaxlibUltimoErro. Since version 1.1 (symbol version TIVAX_1.1). */
TIVAX_API const char *TivaxlibUltimoErro(void);

/* ---- SAT functions --------------------------------------------------- *
 * numeroSessao: a session number chosen by the application, echoed by the
 * device in its answer. All const char* arguments must be zero-terminated;
 * they are read during the call only. Each function returns a string to be
 * released with DesalocarString(): the answer line, or "" (see above). */

/* Activates the device. Invalid result if codigoDeAtivacao or CNPJ is NULL. */
TIVAX_API char *AtivarSAT(int numeroSessao, int subComando,
                          const char *codigoDeAtivacao, const char *CNPJ,
                          int cUF);

/* Sends the ICP-Brasil certificate. Invalid result if a text is NULL. */
TIVAX_API char *ComunicarCertificadoICPBRASIL(int numeroSessao,
                                              const char *codigoDeAtivacao,
                                              const char *certificado);

/* Registers a sale. dadosVenda is the sale XML (CF-e input layout 0.07);
 * it is cleaned and checked first, and a malformed sale is answered with
 * the 06010 refusal line described above. Invalid result if a text is NULL
 * or the device cannot be reached. */
TIVAX_API char *EnviarDadosVenda(int numeroSessao,
                                 const char *codigoDeAtivacao,
                                 const char *dadosVenda);

/* Cancels the last sale. dadosCancelamento is cleaned like a sale but not
 * checked. Invalid result if a text is NULL. */
TIVAX_API char *CancelarUltimaVenda(int numeroSessao,
                                    const char *codigoDeAtivacao,
                                    const char *chave,
                                    const char *dadosCancelamento);

/* Asks whether the device answers. Never refused for its arguments; gives
 * up after about three seconds without an answer. */
TIVAX_API char *ConsultarSAT(int numeroSessao);

/* End-to-end test with a sale document. Invalid result if a text is NULL. */
TIVAX_API char *TesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                             const char *dadosVenda);

/* Operational status: the answer carries 28 fields. Invalid result if
 * codigoDeAtivacao is NULL. */
TIVAX_API char *ConsultarStatusOperacional(int numeroSessao,
                                           const char *codigoDeAtivacao);

/* Asks for the stored answer of session cNumeroDeSessao. When the device
 * answers with that other session's answer, the whole stored line is
 * returned. Invalid result if codigoDeAtivacao is NULL or
 * cNumeroDeSessao < 1. */
TIVAX_API char *ConsultarNumeroSessao(int numeroSessao,
                                      const char *codigoDeAtivacao,
                                      int cNumeroDeSessao);

/* Sends a network configuration XML (root element "config"); the five
 * address elements lanIP, lanMask, lanGW, lanDNS1 and lanDNS2 are rewritten
 * without leading zeros. Invalid result if a text is NULL. */
TIVAX_API char *ConfigurarInterfaceDeRede(int numeroSessao,
                                          const char *codigoDeAtivacao,
                                          const char *dadosConfiguracao);

/* Associates the application's signature. Invalid result if a text is
 * NULL. */
TIVAX_API char *AssociarAssinatura(int numeroSessao,
                                   const char *codigoDeAtivacao,
                                   const char *CNPJvalue,
                                   const char *assinaturaCNPJs);

/* Starts a software update of the device. Invalid result if
 * codigoDeAtivacao is NULL. */
TIVAX_API char *AtualizarSoftwareSAT(int numeroSessao,
                                     const char *codigoDeAtivacao);

/* Extracts the device's logs. Invalid result if codigoDeAtivacao is NULL. */
TIVAX_API char *ExtrairLogs(int numeroSessao, const char *codigoDeAtivacao);

/* Blocks the device. Invalid result if codigoDeAtivacao is NULL. */
TIVAX_API char *BloquearSAT(int numeroSessao, const char *codigoDeAtivacao);

/* Unblocks the device. Invalid result if codigoDeAtivacao is NULL. */
TIVAX_API char *DesbloquearSAT(int numeroSessao,
                               const char *codigoDeAtivacao);

/* Changes the activation code. Invalid result if a text is NULL. */
TIVAX_API char *TrocarCodigoDeAtivacao(int numeroSessao,
                                       const char *codigoDeAtivacao,
                                       int opcao, const char *novoCodigo,
                                       const char *confNovoCodigo);

/* Asks for the answer of the last sale or cancellation. When the device
 * answers with that session's stored answer, the whole stored line is
 * returned. Invalid result if codigoDeAtivacao is NULL. */
TIVAX_API char *ConsultarUltimaSessaoFiscal(int numeroSessao,
                                            const char *codigoDeAtivacao);

#ifdef __cplusplus
} /* extern "C" */

/* ---- C++ only -------------------------------------------------------- */

/* Returns 1 when the device reports itself blocked, or cannot tell (no
 * answer, another result code, an unreadable state field, a NULL or wrong
 * codigoDeAtivacao); 0 when its operational status says it is unblocked.
 * Asks once, with codigoDeAtivacao: never with a code of the library's
 * own, since a device counts every wrong code toward its lock-out. The
 * session number is random, from a generator of the library's own: the
 * application's rand() sequence is left alone. */
TIVAX_API int consultaBloqueio(const char *codigoDeAtivacao);

/* A new invalid result (""), to be released with DesalocarString(). */
TIVAX_API char *retornoInvalido();

/* A new zero-terminated copy of s, to be released with DesalocarString(). */
TIVAX_API char *AllocAndBuildRet(const std::string &s);
#endif

#endif /* TIVAX_H */
