// SPDX-License-Identifier: MIT
// The serial terminal under which the device is reachable, and the one
// place where the library touches the terminal: every open, read, write,
// close, termios, lock and poll call of the link lives here.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <memory>
#include <string>

#include "comm/exchange_outcome.h"
#include "comm/waits.h"
#include "log/reason.h"

namespace Tivaxlib {
namespace Comm {

// Whether two terminal settings differ in what the link depends on: the
// four flag sets, the line discipline, VMIN, VTIME and both speeds. Other
// control characters do not matter in raw mode and are not compared.
bool operator!=(const termios& a, const termios& b);

class serial_port {
 public:
  explicit serial_port(std::string devicePath);
  // Closes the descriptor if it is still open.
  virtual ~serial_port();
  serial_port(const serial_port&) = delete;
  serial_port& operator=(const serial_port&) = delete;

  // Opens the device (read/write, never as controlling terminal, writes
  // synchronous, not inherited by programs the application starts) and
  // gives it one second to settle whatever the outcome. The descriptor is
  // non-blocking: every wait happens in poll, where a deadline and a set-up
  // function can end it. A set-up function's announcement cuts the settling
  // short, and the open then fails. true when a descriptor was obtained
  // (any number: 0 too, when the application closed its standard input).
  bool portOpen();
  // Puts the open port in raw 8N1 mode at 4 Mbit/s, or 115200 bit/s when
  // the faster speed is refused. Failures are reported on stderr and leave
  // the port open with the settings it has.
  void setParameters();
  // Switches reads between waiting for the first byte of an answer (true)
  // and returning at once with whatever has arrived (false). false when
  // the mode could not be read or applied.
  bool setNonBloking(bool blocking);
  // Takes the port for one exchange, or for applying settings: an exclusive
  // flock on the descriptor, so that two processes on the same device never
  // interleave their requests and answers. While another process has it,
  // waits for it until `deadline` or a cancellation. Where the system keeps
  // no locks for the device, everyone is let through.
  WaitEnd lockExchange(const Deadline& deadline);
  void unlockExchange();
  // Waits until bytes can be read, or written.
  WaitEnd waitReadable(const Deadline& deadline);
  WaitEnd waitWritable(const Deadline& deadline);
  // The pause between polls of an answer: `milliseconds`, ended early by
  // bytes to read (Ready then too), by `deadline` or by a cancellation.
  WaitEnd pauseUnlessReadable(long milliseconds, const Deadline& deadline);
  // Whether the descriptor was opened by the process this one was forked
  // from: it is then shared with that process.
  bool inherited() const;
  // Pauses 10 ms, discards both queues and closes; nothing when not open.
  // The queues are the device's, shared with any other process that has
  // it open: they are left alone while another process is in an exchange,
  // and when the descriptor was inherited (the parent's exchanges run on it).
  void closePort();
  // Discards unread input and unsent output; unread input only.
  void flushBoth();
  void flushInput();

  // One read or write call on the descriptor, with errno as left by it.
  ssize_t readSome(char* buffer, size_t size);
  ssize_t writeSome(const char* data, size_t size);

  int fd = -1;
  std::string path;
  termios tio{};
  // Why the settings of the last open were refused (kind None when they
  // were applied): the port stays open all the same, and an exchange that
  // then fails on it gives this as its reason.
  Log::Reason settingsFailure;
  // An exchange ended inside a line the device was still sending: the rest
  // of it is discarded before the next request.
  bool abandonedLine = false;
  // A request was cut short after its first byte: the device holds part of
  // a line, which a line feed ends before the next request.
  bool partialRequest = false;
  // Where an answer is read: reused by every exchange, so it keeps the
  // size of the longest answer read so far (at most one answer's limit).
  std::string incoming;

 private:
  unsigned openedInGeneration_ = 0;  // forkGeneration() at the open
};

// A pause of the link's (between failed reads, before a send) that a
// set-up function's announcement ends at once and `deadline` cuts short.
// Ready when it ran its whole course.
WaitEnd pauseOnLink(long milliseconds, const Deadline& deadline);

// The process-wide current port. Every channel works on whichever port is
// current; building a channel replaces it. Callers keep the returned
// pointer for the length of one operation, so replacing the port never
// pulls it from under an exchange that is still running.
std::shared_ptr<serial_port> currentSerialPort();
// Drops the current port (closing it unless an exchange still holds it)
// and installs a fresh, unopened one for `path`.
void replaceCurrentSerialPort(const std::string& path);

}  // namespace Comm
}  // namespace Tivaxlib
