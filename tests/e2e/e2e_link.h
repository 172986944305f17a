// SPDX-License-Identifier: MIT
// One emulated device and one library connection for a whole test program:
// every port open costs the library a second, and the library keeps a
// single device object per process anyway.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "emulator.h"

namespace tivaxe2e {

// 2023-11-14 22:13:20 UTC: the device clock of every test, so that answers
// are the same from run to run.
constexpr std::time_t kDeviceTime = 1700000000;
constexpr char kCode[] = "12345678";

// The emulator behind the shared connection.
tivaxemu::Emulator& device();

// Takes a result string of the library: copies it and releases it.
std::string take(char* result);

// Every test starts with a fresh device state and an open link.
class LinkedTest : public ::testing::Test {
 protected:
  void SetUp() override;
};

}  // namespace tivaxe2e
