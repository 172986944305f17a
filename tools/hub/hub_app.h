// SPDX-License-Identifier: MIT
// tivax-hub's command line: serving, and listing the journal.
#ifndef TIVAX_HUB_HUB_APP_H
#define TIVAX_HUB_HUB_APP_H

#include <ostream>
#include <string>
#include <vector>

#include "journal.h"

namespace tivaxhub {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // could not run (journal, address, emulator)
constexpr int kExitUsage = 2;    // bad command line or configuration

int runHubApp(const std::vector<std::string>& args, std::ostream& out);

// `tivax-hub diario`: one line per entry, or a JSON array.
void printJournal(const std::vector<JournalEntry>& entries, bool json, std::ostream& out);

}  // namespace tivaxhub

#endif
