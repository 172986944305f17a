// SPDX-License-Identifier: MIT
// The tivax program as a shell runs it, for what only a process of its own
// shows: what the library itself writes on standard error, and the trace,
// which the library sets up once per process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "emulator/child_process.h"

namespace {

using tivaxtest::ChildProcess;
using tivaxtest::occurrences;

// The library's settings that would change what these runs write.
const std::vector<std::string> kLibrarySettings = {"TIVAX_LOG", "TIVAX_LOG_COMPLETO", "TIVAX_TIMEOUT"};

struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

ProgramRun tivax(std::vector<std::string> args, const std::vector<std::string>& set = {}) {
  args.insert(args.begin(), TIVAX_CLI_PROGRAM);
  ChildProcess program(args, kLibrarySettings, set);
  if (!program.started()) return {-1, "", "not started"};
  ProgramRun run;
  run.out = program.readAll();
  run.status = program.wait();
  run.err = program.errorOutput();
  return run;
}

TEST(CliProgram, PortThatDoesNotOpenIsToldOnce) {
  const std::string port = "/nonexistent/tivax-port";
  const ProgramRun run = tivax({"--porta", port, "consultar-sat"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(occurrences(run.err, "SerialPort::portOpen: Unable to open device " + port), 1u) << run.err;
  EXPECT_EQ(occurrences(run.err, "tivax: porta não abre: " + port + ": No such file or directory"), 1u)
      << run.err;
  EXPECT_EQ(occurrences(run.err, "\n"), 2u) << run.err;
}

TEST(CliProgram, QuietWithoutTrace) {
  const ProgramRun run = tivax({"--emulador", "consultar-sat"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
}

// Every exchange in the trace, and never a code that unlocks the device,
// whichever field it travels in.
TEST(CliProgram, TraceShowsTheExchangeAndMasksTheCodes) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> secrets;
  } cases[] = {
      {{"consultar-status", "--codigo", "12345678"}, {"12345678"}},
      {{"ativar", "--codigo", "12345678", "--cnpj", "11111111111111"}, {"12345678"}},
      {{"trocar-codigo", "--codigo", "12345678", "--novo", "87654321", "--confirmacao", "87654321"},
       {"12345678", "87654321"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = {"--emulador", "--trace"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun run = tivax(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out, "");
    for (const char* event : {"] open: ", "] send: ", "] receive: ", "] verdict: "})
      EXPECT_NE(run.err.find(event), std::string::npos) << event << " missing from\n" << run.err;
    EXPECT_NE(run.err.find("********"), std::string::npos) << run.err;
    for (const std::string& secret : c.secrets) EXPECT_EQ(run.err.find(secret), std::string::npos) << run.err;
  }
}

// --trace wins over a log file named in the environment: the file is not
// even created.
TEST(CliProgram, TraceReplacesTheEnvironmentsLog) {
  const std::string file = ::testing::TempDir() + "tivax-cli-trace-" + std::to_string(getpid()) + ".log";
  ::unlink(file.c_str());
  const ProgramRun run = tivax({"--emulador", "--trace", "consultar-sat"}, {"TIVAX_LOG=" + file});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("] send: ConsultarSAT"), std::string::npos) << run.err;
  struct stat st {};
  EXPECT_NE(::stat(file.c_str(), &st), 0) << file << " was written";
  ::unlink(file.c_str());
}

}  // namespace
