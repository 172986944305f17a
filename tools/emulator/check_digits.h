// SPDX-License-Identifier: MIT
// The check digits the device verifies (CNPJ, CPF, GTIN) and the one it
// writes at the end of every access key.
#pragma once

#include <string>

namespace tivaxemu {

// Modulus 11 over the digits, weights 2..9 repeating from the right; a
// remainder of 0 or 1 gives 0. Used for the 44th digit of an access key.
char accessKeyCheckDigit(const std::string& digits);

// Fourteen digits with both check digits right, not all the same digit.
bool validCnpj(const std::string& text);
// Eleven digits with both check digits right, not all the same digit.
bool validCpf(const std::string& text);
// 8, 12, 13 or 14 digits whose last is the modulus-10 check digit
// (weights 3,1 from the right).
bool validGtin(const std::string& text);

bool allDigits(const std::string& text);
// True for an empty text or one made only of zeros.
bool zeroOrEmpty(const std::string& text);

}  // namespace tivaxemu
