// SPDX-License-Identifier: MIT
#include "comm/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "comm/pause.h"
#include "log/reason.h"
#include "log/text_format.h"
#include "log/trace.h"

namespace Tivaxlib {
namespace Comm {

namespace {

constexpr long kSettlePauseMs = 1000;  // after opening, for the device to settle
constexpr long kQuietPauseMs = 10;     // before flushing around writes and closes

// Input processing that would alter or swallow bytes of a binary-clean
// line: break and parity handling, CR/LF translation, software flow control.
constexpr tcflag_t kInputFlagsCleared =
    IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF;
static_assert(kInputFlagsCleared == 0x1dfb, "raw input mask");

constexpr long kTurnRetryMs = 2;  // between attempts at a port another process has
// Without an event descriptor, how often a wait looks for a set-up.
constexpr int kEventlessSliceMs = 20;

// Waits until `fd` (when >= 0) is ready for `events`, `until` passes, or a
// set-up function announces itself. A hang-up or an error on `fd` counts
// as ready: the read or write that follows finds out what it is.
WaitEnd waitOn(int fd, short events, const Deadline& until) {
  for (;;) {
    if (cancelRequested()) return WaitEnd::Cancelled;
    if (until.passed()) return WaitEnd::Elapsed;
    pollfd fds[2] = {};
    nfds_t count = 0;
    if (fd >= 0) fds[count++] = pollfd{fd, events, 0};
    int timeout = until.pollTimeoutMs();
    // The event stays readable for the thread running a set-up (its own
    // announcement): that thread looks for another set-up every few
    // milliseconds instead.
    if (!runningSetup() && setupEventDescriptor() >= 0)
      fds[count++] = pollfd{setupEventDescriptor(), POLLIN, 0};
    else if (timeout < 0 || timeout > kEventlessSliceMs)
      timeout = kEventlessSliceMs;
    const int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) {
      // Out of kernel memory, most likely: try again shortly rather than spin.
      pause_ms(kEventlessSliceMs);
      continue;
    }
    if (ready > 0 && fd >= 0 && fds[0].revents != 0) return WaitEnd::Ready;
  }
}

double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Whether a descriptor may be a terminal: anything but a regular file, a
// directory or a block device (a pipe, or a character device that refuses
// the terminal settings, stays open and says so when they are applied).
bool couldBeTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return true;
  return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISBLK(st.st_mode);
}

// A settings failure: reported on standard error as the link always did,
// and kept as the reason a call that then fails on this port gives.
void settingsFailed(serial_port& port, const std::string& diagnostic, const char* what, int err) {
  if (Log::tracing())
    Log::trace("settings", Log::formatText("%s: refused: %s (%s)", port.path.c_str(), what,
                                           std::strerror(err)));
  Log::diagnostic(diagnostic);
  port.settingsFailure =
      Log::Reason(Log::ReasonKind::SettingsRefused).on(port.path).saying(what).withError(err);
  Log::noteReason(port.settingsFailure);
}

// Never destroyed: a channel closed during process exit must still find it.
std::shared_ptr<serial_port>& currentHolder() {
  static auto* const holder = new std::shared_ptr<serial_port>();
  return *holder;
}

}  // namespace

bool operator!=(const termios& a, const termios& b) {
  return a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag ||
         a.c_lflag != b.c_lflag || a.c_line != b.c_line || a.c_cc[VTIME] != b.c_cc[VTIME] ||
         a.c_cc[VMIN] != b.c_cc[VMIN] || cfgetispeed(&a) != cfgetispeed(&b) ||
         cfgetospeed(&a) != cfgetospeed(&b);
}

serial_port::serial_port(std::string devicePath) : path(std::move(devicePath)) {}

serial_port::~serial_port() { closePort(); }

bool serial_port::portOpen() {
  // A descriptor still open here would otherwise be lost.
  closePort();
  settingsFailure = Log::Reason();
  errno = 0;
  fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_SYNC | O_CLOEXEC);
  int openErrno = errno;
  openedInGeneration_ = forkGeneration();
  abandonedLine = false;
  partialRequest = false;
  if (fd >= 0 && !couldBeTerminal(fd)) {
    // A file or a disk named by mistake: the requests would be written into
    // it, over what it holds.
    close(fd);
    fd = -1;
    openErrno = ENOTTY;
  }
  if (fd >= 0) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  const WaitEnd settled = pauseOnLink(kSettlePauseMs, Deadline());
  if (fd >= 0 && settled == WaitEnd::Cancelled) {
    // Given up for a set-up function, which will open the port itself.
    close(fd);
    fd = -1;
    noteCancelled();
    return false;
  }
  if (fd >= 0) {
    if (Log::tracing()) Log::trace("open", Log::formatText("%s: open", path.c_str()));
    return true;
  }
  if (Log::tracing())
    Log::trace("open", Log::formatText("%s: failed: %s", path.c_str(), std::strerror(openErrno)));
  Log::diagnostic(Log::formatText("SerialPort::portOpen: Unable to open device %s (%s)\n",
                                  path.c_str(), std::strerror(openErrno)));
  Log::noteReason(Log::Reason(Log::ReasonKind::OpenFailed).on(path).withError(openErrno));
  fd = -1;
  return false;
}

void serial_port::setParameters() {
  tcgetattr(fd, &tio);
  // Starting from an all-zero record resets whatever a previous user left
  // (output processing in particular: oflag stays as read back below).
  const termios cleared{};
  tcsetattr(fd, TCSANOW, &cleared);

  termios raw{};
  if (tcgetattr(fd, &raw) != 0) {
    const int err = errno;
    settingsFailed(*this,
                   Log::formatText("SerialPort::setParameters: Failed to read port settings %s (%s)\n",
                                   path.c_str(), std::strerror(err)),
                   "as configurações do terminal não puderam ser lidas", err);
    return;
  }
  const char* speed = "4000000";
  if (cfsetspeed(&raw, B4000000) != 0) {
    speed = "115200";
    if (cfsetspeed(&raw, B115200) != 0) {
      const int err = errno;
      settingsFailed(*this,
                     Log::formatText("SerialPort::setParameters: Failed to set baud rate %s (%s)\n",
                                     path.c_str(), std::strerror(err)),
                     "nem 4000000 nem 115200 bit/s foram aceitos", err);
      return;
    }
  }
  // Blocking reads by default: wait for the first byte, then end the read
  // after half a second without more.
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 5;
  raw.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | CRTSCTS);
  raw.c_cflag |= CS8 | CREAD | CLOCAL;
  raw.c_iflag &= ~kInputFlagsCleared;

  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    const int err = errno;
    settingsFailed(
        *this,
        Log::formatText("SerialPort::setParameters: Failed to set parameters %s\nerrorno: %d,  (%s)\n",
                        path.c_str(), err, std::strerror(err)),
        "as configurações do terminal não puderam ser aplicadas", err);
    return;
  }
  pause_ms(kQuietPauseMs);
  flushBoth();
  if (Log::tracing())
    Log::trace("settings", Log::formatText("%s: raw 8N1 at %s bit/s", path.c_str(), speed));
}

bool serial_port::setNonBloking(bool blocking) {
  // Shared by every port; only touched under a channel's lock.
  static termios settings{};
  if (tcgetattr(fd, &tio) != 0) return false;
  if (settings != tio) settings = tio;
  settings.c_cc[VMIN] = blocking ? 1 : 0;
  settings.c_cc[VTIME] = blocking ? 5 : 0;
  if (settings != tio) {
    tio = settings;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  }
  return true;
}

WaitEnd serial_port::lockExchange(const Deadline& deadline) {
  // Set once another process is found holding the port, for the log.
  std::optional<std::chrono::steady_clock::time_point> waitingSince;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (waitingSince && Log::tracing())
        Log::trace("lock", Log::formatText("%s: obtained after %.1f ms", path.c_str(),
                                           msSince(*waitingSince)));
      return WaitEnd::Ready;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return WaitEnd::Ready;
    if (!waitingSince) {
      waitingSince = std::chrono::steady_clock::now();
      if (Log::tracing())
        Log::trace("lock", path + ": another process is in an exchange on the port; waiting");
    }
    // Polled rather than waited for in flock, which only a signal could
    // interrupt. A process that has just finished its exchange pauses
    // before its next one, so a waiting process gets its turn in between.
    const WaitEnd waited =
        waitOn(-1, 0, Deadline::earlier(Deadline::in(std::chrono::milliseconds(kTurnRetryMs)),
                                        deadline));
    if (waited == WaitEnd::Cancelled) return waited;
    if (deadline.passed()) {
      if (Log::tracing())
        Log::trace("lock", Log::formatText("%s: given up after %.1f ms", path.c_str(),
                                           msSince(*waitingSince)));
      return WaitEnd::Elapsed;
    }
  }
}

void serial_port::unlockExchange() {
  if (fd >= 0) flock(fd, LOCK_UN);
}

WaitEnd serial_port::waitReadable(const Deadline& deadline) { return waitOn(fd, POLLIN, deadline); }

WaitEnd serial_port::waitWritable(const Deadline& deadline) {
  return waitOn(fd, POLLOUT, deadline);
}

WaitEnd serial_port::pauseUnlessReadable(long milliseconds, const Deadline& deadline) {
  if (runPauseHook(milliseconds)) return pauseOnLink(0, deadline);
  const int savedErrno = errno;
  const WaitEnd waited = waitOn(
      fd, POLLIN,
      Deadline::earlier(Deadline::in(std::chrono::milliseconds(milliseconds)), deadline));
  errno = savedErrno;
  if (waited == WaitEnd::Cancelled) return waited;
  return deadline.passed() ? WaitEnd::Elapsed : WaitEnd::Ready;
}

bool serial_port::inherited() const { return fd >= 0 && openedInGeneration_ != forkGeneration(); }

void serial_port::closePort() {
  if (fd < 0) return;
  if (inherited()) {
    // The parent's port: its queues and its lock are left as they are.
    close(fd);
    fd = -1;
    return;
  }
  pause_ms(kQuietPauseMs);
  // Flushing the queues under another process's exchange would throw its
  // answer away.
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) flushBoth();
  close(fd);
  fd = -1;
}

void serial_port::flushBoth() { tcflush(fd, TCIOFLUSH); }

void serial_port::flushInput() { tcflush(fd, TCIFLUSH); }

ssize_t serial_port::readSome(char* buffer, size_t size) { return read(fd, buffer, size); }

ssize_t serial_port::writeSome(const char* data, size_t size) { return write(fd, data, size); }

WaitEnd pauseOnLink(long milliseconds, const Deadline& deadline) {
  const auto ended = [&deadline] {
    if (cancelRequested()) return WaitEnd::Cancelled;
    return deadline.passed() ? WaitEnd::Elapsed : WaitEnd::Ready;
  };
  if (milliseconds <= 0 || runPauseHook(milliseconds)) return ended();
  // Callers report errno after pausing (a failed read leaves ECONNRESET).
  const int savedErrno = errno;
  const Deadline pauseEnd = Deadline::in(std::chrono::milliseconds(milliseconds));
  waitOn(-1, 0, Deadline::earlier(pauseEnd, deadline));
  errno = savedErrno;
  return ended();
}

std::shared_ptr<serial_port> currentSerialPort() { return std::atomic_load(&currentHolder()); }

void replaceCurrentSerialPort(const std::string& path) {
  // The old port goes first, so its descriptor is closed before the new
  // one is opened.
  std::atomic_store(&currentHolder(), std::shared_ptr<serial_port>());
  std::atomic_store(&currentHolder(), std::make_shared<serial_port>(path));
}

}  // namespace Comm
}  // namespace Tivaxlib
