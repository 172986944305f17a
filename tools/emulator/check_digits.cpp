// SPDX-License-Identifier: MIT
#include "check_digits.h"

namespace tivaxemu {

namespace {

bool allSame(const std::string& text) {
  return text.find_first_not_of(text[0]) == std::string::npos;
}

// The CNPJ/CPF digit: weighted sum modulus 11, below 2 gives 0.
int modulus11Digit(const std::string& digits, std::size_t count, const int* weights) {
  int sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += (digits[i] - '0') * weights[i];
  const int rest = sum % 11;
  return rest < 2 ? 0 : 11 - rest;
}

}  // namespace

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool zeroOrEmpty(const std::string& text) {
  return text.find_first_not_of('0') == std::string::npos;
}

char accessKeyCheckDigit(const std::string& digits) {
  int sum = 0, weight = 2;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    sum += (*it - '0') * weight;
    weight = weight == 9 ? 2 : weight + 1;
  }
  const int rest = sum % 11;
  return static_cast<char>('0' + (rest < 2 ? 0 : 11 - rest));
}

bool validCnpj(const std::string& text) {
  static const int first[] = {5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
  static const int second[] = {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};
  if (text.size() != 14 || !allDigits(text) || allSame(text)) return false;
  return modulus11Digit(text, 12, first) == text[12] - '0' &&
         modulus11Digit(text, 13, second) == text[13] - '0';
}

bool validCpf(const std::string& text) {
  static const int first[] = {10, 9, 8, 7, 6, 5, 4, 3, 2};
  static const int second[] = {11, 10, 9, 8, 7, 6, 5, 4, 3, 2};
  if (text.size() != 11 || !allDigits(text) || allSame(text)) return false;
  return modulus11Digit(text, 9, first) == text[9] - '0' &&
         modulus11Digit(text, 10, second) == text[10] - '0';
}

bool validGtin(const std::string& text) {
  const std::size_t n = text.size();
  if ((n != 8 && n != 12 && n != 13 && n != 14) || !allDigits(text)) return false;
  int sum = 0, weight = 3;
  for (std::size_t i = n - 1; i-- > 0;) {
    sum += (text[i] - '0') * weight;
    weight = 4 - weight;
  }
  return (10 - sum % 10) % 10 == text[n - 1] - '0';
}

}  // namespace tivaxemu
