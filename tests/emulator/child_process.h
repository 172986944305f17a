// SPDX-License-Identifier: MIT
// A built program run from a test: its standard output read through a pipe,
// its standard error kept in a file for reading once it is done.
#ifndef TIVAX_TESTS_EMULATOR_CHILD_PROCESS_H
#define TIVAX_TESTS_EMULATOR_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace tivaxtest {

// Lines from a descriptor as they arrive; what comes after a line feed is
// kept for the next line.
class LineReader {
 public:
  explicit LineReader(int fd = -1) : fd_(fd) {}
  void attach(int fd) { fd_ = fd; }

  // The next whole line without its line feed; false when none came by
  // `deadline` or the descriptor was closed first.
  bool next(std::chrono::steady_clock::time_point deadline, std::string& line) {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      if (!fill(deadline)) return false;
    }
  }
  // Exactly `count` bytes; fewer when the descriptor closed or `deadline`
  // came first.
  std::string take(std::size_t count, std::chrono::steady_clock::time_point deadline) {
    while (pending_.size() < count && fill(deadline)) {
    }
    std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    return out;
  }
  // Reads until the descriptor is closed or `deadline`.
  void drain(std::chrono::steady_clock::time_point deadline) {
    while (fill(deadline)) {
    }
  }
  // What was read and not handed out yet.
  std::string rest() {
    std::string all;
    all.swap(pending_);
    return all;
  }

 private:
  bool fill(std::chrono::steady_clock::time_point deadline) {
    if (fd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{fd_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    char buffer[65536];
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  int fd_;
  std::string pending_;
};

class ChildProcess {
 public:
  // Starts argv[0] with this process's environment, less the variables
  // named in `unset`, plus the NAME=value entries of `set`.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& unset = {},
                        const std::vector<std::string>& set = {}) {
    char pattern[] = "/tmp/tivax-child-stderr-XXXXXX";
    const int errFd = mkostemp(pattern, O_CLOEXEC);
    if (errFd < 0) return;
    errPath_ = pattern;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      ::close(errFd);
      return;
    }
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
      const std::string text = *entry;
      const std::string name = text.substr(0, text.find('='));
      bool dropped = false;
      for (const std::string& gone : unset) dropped = dropped || name == gone;
      for (const std::string& added : set) dropped = dropped || name == added.substr(0, added.find('='));
      if (!dropped) env.push_back(text);
    }
    env.insert(env.end(), set.begin(), set.end());

    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(errFd);
    outFd_ = out[0];
    out_.attach(outFd_);
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    if (outFd_ >= 0) ::close(outFd_);
    if (!errPath_.empty()) ::unlink(errPath_.c_str());
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // The next line of standard output without its line feed; what there is
  // when the program closes it, or after 10 s without a whole line (a
  // bound only a stuck program reaches).
  std::string readLine() {
    std::string line;
    return out_.next(std::chrono::steady_clock::now() + std::chrono::seconds(10), line) ? line : out_.rest();
  }

  // Everything on standard output until the program closes it.
  std::string readAll() {
    out_.drain(std::chrono::steady_clock::now() + std::chrono::minutes(2));
    return out_.rest();
  }

  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // The exit status, or 128 + the signal that ended it.
  int wait() {
    if (pid_ <= 0) return status_;
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
  }

  std::string errorOutput() const {
    std::ifstream in(errPath_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int outFd_ = -1;
  LineReader out_;
  std::string errPath_;
};

// How many times `needle` stands in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

}  // namespace tivaxtest

#endif
