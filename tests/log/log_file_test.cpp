// SPDX-License-Identifier: MIT
// The log file as threads and processes share it, and logs that cannot be
// written.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/trace.h"

namespace {

using Tivaxlib::Log::setTraceTarget;
using Tivaxlib::Log::trace;
using Tivaxlib::Log::tracing;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tivax-log-XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() {
    setTraceTarget(nullptr);
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string file(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<std::string> linesOf(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Lines longer than a pipe's atomic size, from two threads of this process
// and two threads of another one at once: every line comes out whole.
TEST(LogFile, WritersNeverInterleaveWithinALine) {
  TempDir dir;
  const std::string path = dir.file("shared.log");
  constexpr int kLines = 200;
  constexpr std::size_t kPayload = 6000;
  const auto writeLines = [](char mark) {
    const std::string payload(kPayload, mark);
    for (int i = 0; i < kLines; ++i) trace("test", payload);
  };
  const auto twoThreads = [&](char a, char b) {
    std::thread first(writeLines, a), second(writeLines, b);
    first.join();
    second.join();
  };
  setTraceTarget(path.c_str());
  ASSERT_TRUE(tracing());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setTraceTarget(path.c_str());  // a descriptor of its own, as another program's
    twoThreads('c', 'd');
    _exit(0);
  }
  twoThreads('a', 'b');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  const std::regex shape(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+:\d+\] test: ([a-d])\1{5999})");
  std::map<char, int> perWriter;
  const std::vector<std::string> lines = linesOf(path);
  ASSERT_EQ(lines.size(), 4u * kLines);
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line.substr(0, 80);
    ++perWriter[match[1].str()[0]];
  }
  for (const char mark : {'a', 'b', 'c', 'd'}) EXPECT_EQ(perWriter[mark], kLines) << mark;
}

TEST(LogFile, CreatedForTheOwnerOnly) {
  TempDir dir;
  const std::string path = dir.file("new.log");
  setTraceTarget(path.c_str());
  trace("test", "one");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Log rotation renames the file (or removes it) and expects the writer to
// start a new one at the path: the next event goes there, not on into the
// renamed file.
TEST(LogFile, ANewFileAfterRotation) {
  TempDir dir;
  const std::string path = dir.file("tivax.log");
  const std::string rotated = dir.file("tivax.log.1");
  setTraceTarget(path.c_str());
  trace("test", "before");
  ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
  trace("test", "after rename");
  ASSERT_EQ(unlink(path.c_str()), 0);
  trace("test", "after removal");
  const std::vector<std::string> old = linesOf(rotated);
  ASSERT_EQ(old.size(), 1u);
  EXPECT_NE(old[0].find("test: before"), std::string::npos);
  const std::vector<std::string> fresh = linesOf(path);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_NE(fresh[0].find("test: after removal"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A log that cannot be opened is given up, and the process goes on.
TEST(LogFile, UnopenableLogIsGivenUp) {
  TempDir dir;
  // /proc takes no new files, even from root.
  for (const std::string& path : {std::string("/proc/tivax-test.log"), dir.file("none/x.log")}) {
    testing::internal::CaptureStderr();
    setTraceTarget(path.c_str());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(tracing()) << path;
    EXPECT_EQ(said.rfind("SerialPort::log: Unable to open TIVAX_LOG=" + path + " (", 0), 0u) << said;
    trace("test", "lost");  // nothing, and no failure
  }
}

// A FIFO is neither waited for when nobody reads it, nor allowed to end
// the process with SIGPIPE when its reader goes away.
TEST(LogFile, PipesNeverBlockNorKill) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  testing::internal::CaptureStderr();
  setTraceTarget(fifo.c_str());  // no reader: would block in open()
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(tracing());

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  setTraceTarget(fifo.c_str());
  ASSERT_TRUE(tracing());
  trace("test", "read");
  char buffer[256];
  EXPECT_GT(read(reader, buffer, sizeof buffer), 0);
  close(reader);
  trace("test", "nobody reads this");  // EPIPE, and no signal
  // A full pipe loses lines rather than holding the caller.
  const int again = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(again, 0);
  for (int i = 0; i < 100; ++i) trace("test", std::string(4096, 'x'));
  close(again);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
