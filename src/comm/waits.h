// SPDX-License-Identifier: MIT
// What bounds and what interrupts the link's waits.
//
// A wait for the device (for its answer, for room to write, for another
// process to finish its exchange) ends when what it waits for happens, when
// its deadline passes, or when a set-up function (TivaxlibInit,
// TivaxlibDeInit, ConfigurarPortaSerial) announces that it needs the link:
// the set-up must not queue behind a device that never answers. The
// announcement is an event descriptor that stays readable while any set-up
// is pending, so a wait polls it next to the port.
#pragma once

#include <chrono>
#include <string>

namespace Tivaxlib {
namespace Comm {

// A point on the steady clock, or no limit at all.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // No limit.
  Deadline() = default;
  // `limit` from now; zero or less means no limit.
  static Deadline in(std::chrono::nanoseconds limit);
  // Whichever of the two comes first.
  static Deadline earlier(const Deadline& a, const Deadline& b);

  bool limited() const { return limited_; }
  bool passed() const { return limited_ && Clock::now() >= at_; }
  // The time left in whole milliseconds, rounded up, as poll takes it: -1
  // without a limit.
  int pollTimeoutMs() const;

 private:
  bool limited_ = false;
  Clock::time_point at_{};
};

// While one is alive, the waits of every other thread end as cancelled, and
// an exchange that has not started yet does not start. The thread that
// holds one is exempt from its own: its waits (opening the port it
// reconnects to, waiting for another process's turn) run their course
// unless another set-up function announces itself in turn.
class SetupAnnouncement {
 public:
  SetupAnnouncement();
  ~SetupAnnouncement() { withdraw(); }
  SetupAnnouncement(const SetupAnnouncement&) = delete;
  SetupAnnouncement& operator=(const SetupAnnouncement&) = delete;
  // Ends the announcement before the end of its scope; once only.
  void withdraw();

 private:
  bool withdrawn_ = false;
};

// Whether a set-up function other than the calling thread's own is waiting
// for the link.
bool cancelRequested();
// Whether the calling thread is running a set-up function.
bool runningSetup();
// The exported function that made the latest announcement, for saying who
// cancelled a wait ("a set-up function" when it was not made from one).
const char* cancellingSetup();
// Notes, as the calling thread's reason and in the log, that a wait of its
// ended because a set-up function asked for the link.
void noteCancelled();
// Readable while a set-up is pending; -1 when no event descriptor could be
// made (waits then look at the announcement every few milliseconds). A
// process forked from another makes its own on its first wait: the two
// never cancel each other's waits.
int setupEventDescriptor();
// How many times this process's line of ancestors has forked since the
// library was loaded: a descriptor opened under another number belongs to
// the process this one was forked from.
unsigned forkGeneration();

// The limit on every wait for an answer and for the port, from the
// environment variable TIVAX_TIMEOUT (seconds, decimals allowed), read when
// first asked for and again by rereadAnswerTimeout; zero (or unset) means
// no limit. A malformed value is reported on standard error and ignored.
std::chrono::nanoseconds answerTimeout();
// Reads TIVAX_TIMEOUT again (TivaxlibInit and ConfigurarPortaSerial do):
// a value set after the first call counts from then on.
void rereadAnswerTimeout();
// Sets the limit in-process, in place of the environment from then on
// (tests).
void setAnswerTimeout(std::chrono::nanoseconds limit);
// Reads a TIVAX_TIMEOUT value: digits with at most one "." or "," (a
// decimal comma), whatever the process locale says a decimal point is.
// Empty reads as zero. false when malformed.
bool parseTimeout(const std::string& text, std::chrono::nanoseconds& limit);

}  // namespace Comm
}  // namespace Tivaxlib
