// SPDX-License-Identifier: MIT
// Test-side tools for the serial channel: a pseudo-terminal standing in for
// the device, a recorder for the link's pauses, a capture of stderr, and a
// way to wait until a thread sits in a given blocking system call.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace commtest {

// A pseudo-terminal pair. The channel opens `slavePath`; the test plays the
// device on `master`. `peerSlave` stays open for the pair's whole life so
// that the master never sees a hang-up when the channel closes its side.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Writes all of `data` to the master (as the device sending).
  void send(const std::string& data) const;
  // Reads from the master up to and including the first line feed (what the
  // channel wrote). Gives up after a long while so that a broken channel
  // fails the test instead of hanging it.
  std::string receiveLine() const;
  // Whether bytes from the channel are waiting right now.
  bool hasPending() const;
  // Closes the master: the terminal is hung up for the channel.
  void hangUp();

  int master = -1;
  int peerSlave = -1;
  std::string slavePath;

 private:
  mutable std::string pending_;  // read from the master past the last line
};

// Records every pause the channel asks for instead of sleeping; an optional
// action runs on each pause (the test's device speaking while the channel
// waits between reads).
class PauseRecorder {
 public:
  PauseRecorder();
  ~PauseRecorder();
  PauseRecorder(const PauseRecorder&) = delete;
  PauseRecorder& operator=(const PauseRecorder&) = delete;

  std::vector<long> pauses() const;
  void clear();
  // `action(n)` runs on the n-th pause (1-based) from now on.
  void onPause(std::function<void(int)> action);

 private:
  static void record(long milliseconds);
};

// Redirects file descriptor 2 into a temporary file while alive.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() const;

 private:
  int saved_ = -1;
  int file_ = -1;
};

pid_t currentThreadId();

// Waits until thread `tid` of this process is asleep inside system call
// `syscallNumber`. false if `finished` (when given) turns true first, or
// if that never happens within a generous bound.
bool waitUntilBlockedIn(pid_t tid, long syscallNumber, const std::atomic<bool>* finished);

// Whether /proc shows which system call a sleeping thread is in.
bool canSeeBlockedSyscalls();

}  // namespace commtest
