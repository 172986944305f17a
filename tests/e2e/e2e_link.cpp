// SPDX-License-Identifier: MIT
#include "e2e_link.h"

#include <stdlib.h>
#include <unistd.h>

#include <memory>

#include "tivax.h"

namespace tivaxe2e {

namespace {

class LinkEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/tivax-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    tivaxemu::Options options;
    options.activationCode = kCode;
    options.linkPath = directory + "/ttyACM-sat";
    options.clock = [] { return kDeviceTime; };
    emulator = std::make_unique<tivaxemu::Emulator>(options);
    std::string error;
    ASSERT_TRUE(emulator->start(&error)) << error;
    // The port stays the link path: after a hang-up it leads to the
    // emulator's new terminal.
    ASSERT_EQ(ConfigurarPortaSerial(emulator->portPath().c_str()), 1);
    ASSERT_EQ(TivaxlibInit(), 1);
  }

  void TearDown() override {
    TivaxlibDeInit();
    emulator.reset();
    ::rmdir(directory.c_str());
  }

  std::unique_ptr<tivaxemu::Emulator> emulator;
  std::string directory;
};

LinkEnvironment* const environment = static_cast<LinkEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new LinkEnvironment));

}  // namespace

tivaxemu::Emulator& device() { return *environment->emulator; }

std::string take(char* result) {
  std::string copy = result ? result : "";
  DesalocarString(result);
  return copy;
}

void LinkedTest::SetUp() {
  ASSERT_TRUE(environment->emulator);
  // A test before may have left the link closed (on purpose, or after a
  // hang-up); the first call then reconnects and answers nothing.
  if (take(ConsultarSAT(1)).empty()) {
    ASSERT_FALSE(take(ConsultarSAT(1)).empty());
  }
  device().resetDevice();
}

}  // namespace tivaxe2e
