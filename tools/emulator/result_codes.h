// SPDX-License-Identifier: MIT
// The device's result codes (EEEEE): the first two digits are the function
// number plus 4, the last three a detail, 000 meaning success. So the
// success codes run from 04000 (AtivarSAT, function 0) to 19000
// (ConsultarUltimaSessaoFiscal, function 15).
#pragma once

namespace tivaxemu {

constexpr int kSatFunctionCount = 16;

constexpr int resultCode(int function, int detail) { return (function + 4) * 1000 + detail; }

constexpr int successCode(int function) { return resultCode(function, 0); }

// Whether `code` is the success code of some function.
constexpr bool isSuccessCode(int code) {
  return code % 1000 == 0 && code >= successCode(0) && code <= successCode(kSatFunctionCount - 1);
}

}  // namespace tivaxemu
