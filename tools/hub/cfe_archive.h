// SPDX-License-Identifier: MIT
// The CF-e the journal holds: every sale and cancellation the device
// signed, decoded from its answers, written out as one XML file per
// document plus a summary (resumo.csv), in a folder and, on request, a zip.
#ifndef TIVAX_HUB_CFE_ARCHIVE_H
#define TIVAX_HUB_CFE_ARCHIVE_H

#include <cstdint>
#include <string>
#include <vector>

namespace tivaxhub {

class Journal;

// Standard base64 (with padding). False on anything else.
bool decodeBase64(const std::string& text, std::string* bytes);

// A successful sale or cancellation answer, as the device gives it:
// sessão|06000|0000|mensagem|cod|mensagemSEFAZ|CF-e em base64|AAAAMMDDHHMMSS|
// CFe<44 dígitos>|total|CPF/CNPJ|assinatura (07000 for a cancellation).
struct FiscalAnswer {
  bool cancelamento = false;
  std::string chave;         // the 44 digits
  std::string dataHora;      // AAAAMMDDHHMMSS, the device's clock
  std::string total;
  std::string destinatario;  // CPF or CNPJ, may be empty
  std::string base64;        // the signed CF-e
};
// False when the line is not a successful sale or cancellation.
bool parseFiscalAnswer(const std::string& line, FiscalAnswer* answer);

// The number of items (det elements) of a CF-e.
int itemCount(const std::string& xml);
// The key a cancellation document cancels (the 44 digits of chCanc).
std::string cancelledKey(const std::string& xml);

// A period of days, AAAA-MM-DD to AAAA-MM-DD inclusive, by the CF-e's own
// date (the device's clock).
struct Period {
  std::string de, ate;  // AAAAMMDD
};
// False, with the reason for the operator in *error, when either date is
// not a real date or the period runs backwards.
bool parsePeriod(const std::string& de, const std::string& ate, Period* period, std::string* error);

struct ArchiveSummary {
  std::size_t vendas = 0;
  std::size_t cancelamentos = 0;
  std::vector<std::string> arquivos;  // the names written, resumo.csv last
};

// Writes the period's CF-e from the journal into `folder` (created when
// missing; files of the same names are replaced). False with *error.
bool writeArchive(Journal& journal, const Period& period, const std::string& folder, ArchiveSummary* summary,
                  std::string* error);

// Puts the named files of `folder` into a new zip at `zipPath`.
bool zipFiles(const std::string& folder, const std::vector<std::string>& names, const std::string& zipPath,
              std::string* error);

}  // namespace tivaxhub

#endif
