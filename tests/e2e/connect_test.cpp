// SPDX-License-Identifier: MIT
// Connecting, in a process of its own: the port is configured before the
// device exists, and no TivaxlibInit is ever called.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "emulator.h"
#include "tivax.h"

namespace {

std::string take(char* result) {
  std::string copy = result ? result : "";
  DesalocarString(result);
  return copy;
}

// Runs `body` with standard error going to a file; returns what it wrote.
template <class Body>
std::string stderrOf(Body body) {
  char path[] = "/tmp/tivax-e2e-stderr-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0) return "<mkstemp failed>";
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(file, 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(file);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  unlink(path);
  return text.str();
}

TEST(Connect, PortThatCannotBeOpenedThenTheDeviceAppears) {
  char pattern[] = "/tmp/tivax-e2e-connect-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  const std::string port = directory + "/ttyACM-sat";
  const std::string failure =
      "SerialPort::portOpen: Unable to open device " + port + " (No such file or directory)\n";

  EXPECT_EQ(ConfigurarPortaSerial(nullptr), 0);
  EXPECT_EQ(ConfigurarPortaSerial(""), 0);

  int stored = 0;
  EXPECT_EQ(stderrOf([&] { stored = ConfigurarPortaSerial(port.c_str()); }), failure);
  EXPECT_EQ(stored, 1);
  // Every later call tries the same path again.
  std::string answer = "unset";
  EXPECT_EQ(stderrOf([&] { answer = take(ConsultarSAT(1)); }), failure);
  EXPECT_EQ(answer, "");

  tivaxemu::Options options;
  options.linkPath = port;
  tivaxemu::Emulator emulator(options);
  ASSERT_TRUE(emulator.start());
  // The first call finds no open link: it connects and goes on with its
  // exchange.
  EXPECT_EQ(stderrOf([&] { answer = take(ConsultarSAT(2)); }), "");
  EXPECT_EQ(answer, "000002|08000|SAT em operação||");
  EXPECT_EQ(emulator.requestCount(), 1u);
  EXPECT_EQ(take(ConsultarSAT(3)), "000003|08000|SAT em operação||");
  EXPECT_EQ(emulator.requestCount(), 2u);

  TivaxlibDeInit();
  emulator.stop();
  rmdir(directory.c_str());
}

}  // namespace
