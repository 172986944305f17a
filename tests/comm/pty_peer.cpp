// SPDX-License-Identifier: MIT
#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "comm/pause.h"

namespace commtest {

namespace {

// Only a guard against hanging the suite; no test relies on its length.
constexpr int kPatienceMs = 20000;

struct PauseLog {
  std::mutex mutex;
  std::vector<long> pauses;
  std::function<void(int)> action;
  int counted = 0;
};

PauseLog& pauseLog() {
  static PauseLog log;
  return log;
}

}  // namespace

PtyPair::PtyPair() {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("ptsname");
  slavePath = name;
  peerSlave = open(name, O_RDWR | O_NOCTTY);
  if (peerSlave < 0) throw std::runtime_error("cannot open " + slavePath);
}

PtyPair::~PtyPair() {
  hangUp();
  if (peerSlave >= 0) close(peerSlave);
}

void PtyPair::send(const std::string& data) const {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(master, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("write on master failed");
    done += static_cast<size_t>(n);
  }
}

std::string PtyPair::receiveLine() const {
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end + 1);
      pending_.erase(0, end + 1);
      return line;
    }
    pollfd p{master, POLLIN, 0};
    const int ready = poll(&p, 1, kPatienceMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return pending_ + "<no line feed>";
    char chunk[65536];
    const ssize_t n = read(master, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return pending_ + "<hang-up>";
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

bool PtyPair::hasPending() const {
  if (!pending_.empty()) return true;
  pollfd p{master, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

void PtyPair::hangUp() {
  if (master >= 0) close(master);
  master = -1;
}

PauseRecorder::PauseRecorder() {
  clear();
  onPause(nullptr);
  Tivaxlib::Comm::setPauseHook(&PauseRecorder::record);
}

PauseRecorder::~PauseRecorder() { Tivaxlib::Comm::setPauseHook(nullptr); }

std::vector<long> PauseRecorder::pauses() const {
  std::lock_guard<std::mutex> lock(pauseLog().mutex);
  return pauseLog().pauses;
}

void PauseRecorder::clear() {
  std::lock_guard<std::mutex> lock(pauseLog().mutex);
  pauseLog().pauses.clear();
}

void PauseRecorder::onPause(std::function<void(int)> action) {
  std::lock_guard<std::mutex> lock(pauseLog().mutex);
  pauseLog().action = std::move(action);
  pauseLog().counted = 0;
}

void PauseRecorder::record(long milliseconds) {
  std::function<void(int)> action;
  int n = 0;
  {
    std::lock_guard<std::mutex> lock(pauseLog().mutex);
    pauseLog().pauses.push_back(milliseconds);
    action = pauseLog().action;
    n = ++pauseLog().counted;
  }
  if (action) action(n);
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  char name[] = "/tmp/comm_stderr_XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp");
  unlink(name);
  saved_ = dup(2);
  dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  close(file_);
}

std::string StderrCapture::text() const {
  std::fflush(stderr);
  std::string out;
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(file_, chunk, sizeof chunk, at);
    if (n <= 0) break;
    out.append(chunk, static_cast<size_t>(n));
    at += n;
  }
  return out;
}

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

namespace {

// The number of the system call the thread sleeps in, or -1 when it is
// running or the kernel does not say.
long blockedSyscall(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  std::string first;
  if (!(in >> first)) return -1;
  char* end = nullptr;
  const long number = std::strtol(first.c_str(), &end, 10);
  return (end != first.c_str() && *end == '\0') ? number : -1;
}

}  // namespace

bool waitUntilBlockedIn(pid_t tid, long syscallNumber, const std::atomic<bool>* finished) {
  for (int waited = 0; waited < kPatienceMs; ++waited) {
    if (blockedSyscall(tid) == syscallNumber) return true;
    if (finished != nullptr && *finished) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

bool canSeeBlockedSyscalls() {
  // A thread reading its own entry sees the read it is doing; a kernel
  // without the entry (or refusing it) shows nothing.
  return blockedSyscall(currentThreadId()) >= 0;
}

}  // namespace commtest
