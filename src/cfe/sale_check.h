// SPDX-License-Identifier: MIT
// The layout check of a sale: parse the sale XML and walk it against the
// CF-e input layout 0.07.
#pragma once

#include <string>

// true when the sale XML loads and breaks no rule of the layout. detail is
// set to the reason of a refusal (empty when the text does not load as XML,
// and for the two faults that carry no message), cut to at most 180 bytes;
// on success it is empty. The detail is valid UTF-8 with neither "|" nor a
// line end in it, fit to be a field of a result line. Uses nothing shared but the read-only layout
// table, so any number of threads may check at once.
bool check_sale_xml(const std::string& dadosVenda, std::string& detail);
