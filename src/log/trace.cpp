// SPDX-License-Identifier: MIT
#include "log/trace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "log/text_format.h"

namespace Tivaxlib {
namespace Log {

namespace detail {
std::atomic<int> traceState{kTraceUnread};
}  // namespace detail

namespace {

constexpr char kLogVariable[] = "TIVAX_LOG";
constexpr char kCompleteVariable[] = "TIVAX_LOG_COMPLETO";
constexpr std::size_t kLongField = 256;  // longer fields are shortened
constexpr std::size_t kKeptBytes = 64;   // what a shortened field keeps

std::once_flag environmentRead;
// Where the lines go, and how: set while configuring, read by every event.
std::atomic<int> sinkFd{-1};
std::atomic<bool> sinkIsStderr{false};
std::atomic<bool> sinkOwned{false};
// A pipe or a socket whose reader went away raises SIGPIPE on write, which
// would end the application: such sinks are written with it held off.
std::atomic<bool> sinkMayBreak{false};
std::atomic<bool> completeFields{false};
// A regular file may be renamed by log rotation: its events are written
// under this lock, after checking that the path still names the open file.
std::atomic<bool> sinkRotates{false};
std::mutex rotationMutex;
std::string sinkPath;  // under rotationMutex
constexpr int kLogFileFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool regularFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool breakable(int fd) {
  struct stat st {};
  return fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

void stopLogging() {
  detail::traceState.store(detail::kTraceOff, std::memory_order_release);
  const std::lock_guard<std::mutex> lock(rotationMutex);
  sinkRotates = false;
  const int fd = sinkFd.exchange(-1);
  if (fd >= 0 && sinkOwned.load()) close(fd);
  sinkOwned = false;
  sinkIsStderr = false;
}

void configure(const char* target) {
  stopLogging();
  if (target == nullptr || *target == '\0') return;
  int fd = STDERR_FILENO;
  const bool toStderr = std::strcmp(target, "stderr") == 0;
  if (!toStderr) {
    // Non-blocking: a FIFO without a reader would otherwise hold the call
    // in open(), and a full one in write(); a line that finds no room is
    // lost instead. Files are not affected.
    fd = open(target, kLogFileFlags, 0600);
    if (fd < 0) {
      const int err = errno;
      std::fprintf(stderr, "SerialPort::log: Unable to open %s=%s (%s)\n", kLogVariable, target,
                   std::strerror(err));
      return;
    }
  }
  sinkMayBreak = breakable(fd);
  {
    const std::lock_guard<std::mutex> lock(rotationMutex);
    sinkPath = toStderr ? std::string() : std::string(target);
    sinkRotates = !toStderr && regularFile(fd);
  }
  sinkIsStderr = toStderr;
  sinkOwned = !toStderr;
  sinkFd = fd;
  detail::traceState.store(detail::kTraceOn, std::memory_order_release);
}

void readEnvironment() {
  const char* complete = std::getenv(kCompleteVariable);
  completeFields = complete != nullptr && std::strcmp(complete, "1") == 0;
  configure(std::getenv(kLogVariable));
}

// "2026-12-09 10:15:02.517 [4121:4125] "
std::string linePrefix() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  stamp[length] = '\0';
  return formatText("%s.%03ld [%ld:%ld] ", stamp, now.tv_nsec / 1000000L, static_cast<long>(getpid()),
                static_cast<long>(gettid()));
}

void writeWhole(int fd, const std::string& line) {
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = write(fd, line.data() + written, line.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // the log is not writable: the call goes on without it
    }
  }
}

// Writes with SIGPIPE held off the calling thread, and takes back a SIGPIPE
// that the write raised (one that was pending before is left alone).
void writeHoldingOffSigpipe(int fd, const std::string& line) {
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  writeWhole(fd, line);
  if (!wasPending) {
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      const timespec zero{};
      while (sigtimedwait(&pipeSignal, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Under rotationMutex: the descriptor of the file the path names now. A
// file renamed or removed by log rotation is closed, and a new one made at
// the path; when that cannot be made, the old one is kept.
int rotatedSink() {
  const int fd = sinkFd.load(std::memory_order_acquire);
  struct stat byPath {}, opened {};
  if (fd < 0 || fstat(fd, &opened) != 0) return fd;
  if (stat(sinkPath.c_str(), &byPath) == 0 && byPath.st_dev == opened.st_dev &&
      byPath.st_ino == opened.st_ino)
    return fd;
  const int fresh = open(sinkPath.c_str(), kLogFileFlags, 0600);
  if (fresh < 0) return fd;
  sinkFd.store(fresh, std::memory_order_release);
  close(fd);
  return fresh;
}

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

}  // namespace

namespace detail {

bool readTraceConfiguration() {
  std::call_once(environmentRead, readEnvironment);
  return traceState.load(std::memory_order_acquire) == kTraceOn;
}

}  // namespace detail

void trace(const char* event, const std::string& text) {
  if (!tracing()) return;
  const int savedErrno = errno;  // callers report errno after an event
  try {
    const int fd = sinkFd.load(std::memory_order_acquire);
    if (fd >= 0) {
      std::string line = linePrefix();
      line += event;
      line += ": ";
      line += text;
      line += '\n';
      if (sinkRotates.load(std::memory_order_acquire)) {
        const std::lock_guard<std::mutex> lock(rotationMutex);
        if (sinkRotates.load(std::memory_order_relaxed)) writeWhole(rotatedSink(), line);
      } else if (sinkMayBreak.load(std::memory_order_relaxed)) {
        writeHoldingOffSigpipe(fd, line);
      } else {
        writeWhole(fd, line);
      }
    }
  } catch (...) {
    // Out of memory for the line: the event is lost, the call goes on.
  }
  errno = savedErrno;
}

void diagnostic(const std::string& text) {
  std::fprintf(stderr, "%s", text.c_str());
  if (tracing() && !sinkIsStderr.load(std::memory_order_relaxed)) trace("stderr", quoted(text));
}

std::string shortened(std::string_view field, FieldRole role) {
  if (role == FieldRole::Secret) return kMasked;
  if (completeFields.load(std::memory_order_relaxed)) return std::string(field);
  if (role == FieldRole::Plain && field.size() <= kLongField) return std::string(field);
  std::size_t kept = field.size() < kKeptBytes ? field.size() : kKeptBytes;
  // Never half a UTF-8 character.
  while (kept > 0 && kept < field.size() && continuationByte(field[kept])) --kept;
  return std::string(field.substr(0, kept)) + "...(" + std::to_string(field.size()) + " bytes)";
}

std::string shortenedLine(std::string_view line) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = line.find('|', start);
    out += shortened(line.substr(start, bar == std::string_view::npos ? bar : bar - start));
    if (bar == std::string_view::npos) return out;
    out += '|';
    start = bar + 1;
  }
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

void setTraceTarget(const char* target) {
  // The environment is read first, so that it never overrides this later.
  std::call_once(environmentRead, readEnvironment);
  configure(target);
}

void setCompleteFields(bool complete) {
  std::call_once(environmentRead, readEnvironment);
  completeFields = complete;
}

}  // namespace Log
}  // namespace Tivaxlib
