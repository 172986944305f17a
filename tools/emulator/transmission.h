// SPDX-License-Identifier: MIT
// How an answer goes back on the wire, faults included: the bytes to write
// and when, and whether the terminal is hung up afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator.h"

namespace tivaxemu {

struct Piece {
  std::chrono::milliseconds after{0};  // pause before this piece
  std::string bytes;
  bool hangUpAfter = false;  // close the terminal once the piece is written
};

// A small generator for garbage bytes; deterministic for a given start.
class Xorshift {
 public:
  explicit Xorshift(std::uint32_t state) : state(state ? state : 1) {}
  std::uint32_t next();

 private:
  std::uint32_t state;
};

// The pieces for one answer. `request` is the request line as received
// (for the echo), `answer` the device's answer line, both unterminated.
std::vector<Piece> shapeAnswer(const std::string& request, const std::string& answer,
                               std::int32_t session, Faults faults, const Options& options,
                               Xorshift& random);

}  // namespace tivaxemu
