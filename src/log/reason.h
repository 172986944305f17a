// SPDX-License-Identifier: MIT
// Why a call gave the invalid result, as data: a kind, and the details the
// layer that saw the failure knew (the port, the system's error, counts,
// session numbers). The texts live in one table (reason.cpp); the exported
// functions turn the reason noted during a call into the calling thread's
// last error.
//
// Every layer runs on the caller's thread, so a failure is noted in a
// thread-local slot where it happens, and read back by the exported
// function that the call started in.
#pragma once

#include <string>
#include <utility>

namespace Tivaxlib {
namespace Log {

enum class ReasonKind {
  None,
  // The caller's arguments.
  NullArgument,     // subject: the parameter; detail: the function
  InvalidArgument,  // subject: the parameter; detail: what is wrong with it
  // The device cannot be reached.
  NoDevice,         // detail: what discovery found instead
  OpenFailed,       // subject: the port; error
  SettingsRefused,  // subject: the port; detail: which setting; error
  WriteFailed,      // subject: the port; error
  NoAnswer,         // subject: the port; number: reads that found nothing
  TimedOut,         // subject: the port; detail: what was waited for; number: the limit in ms
  PortBusy,         // subject: the port; number: the limit in ms
  Cancelled,        // detail: the set-up function that asked for the link
  HungUp,           // subject: the port; number: failed reads; error
  // The device answered something wrong.
  OverCap,          // number: bytes read; expected: the cap
  OtherSession,     // number: the answer's session; expected: the request's
  EchoMismatch,     // detail: how the echo differs
  TooFewFields,     // number: fields; expected: the fewest the answer needs
  Unreadable,       // detail: what cannot be read
  NoResult,         // detail: code 0, or an empty message
  // The library itself.
  Internal,         // detail
};

struct Reason {
  ReasonKind kind = ReasonKind::None;
  std::string subject;
  std::string detail;
  int error = 0;  // errno, 0 for none
  long long number = 0;
  long long expected = 0;

  Reason() = default;
  explicit Reason(ReasonKind k) : kind(k) {}
  Reason& on(std::string s) {
    subject = std::move(s);
    return *this;
  }
  Reason& saying(std::string d) {
    detail = std::move(d);
    return *this;
  }
  Reason& withError(int e) {
    error = e;
    return *this;
  }
  Reason& counting(long long n, long long m = 0) {
    number = n;
    expected = m;
    return *this;
  }
};

// The reason's text, in Portuguese: the fixed phrase of its kind, a colon,
// and the details. "" for ReasonKind::None.
std::string renderReason(const Reason& reason);
// The fixed phrase every text of the kind starts with.
const char* reasonPhrase(ReasonKind kind);

// ---- the calling thread's reason for the call in progress -----------------

// Replaces what was noted before in this call.
void noteReason(Reason reason);
// The reason noted, kind None when nothing was.
const Reason& notedReason();
// The link was found closed and opened again during the call: said after
// whatever reason the call ends with.
void noteReconnected();
bool reconnectedInCall();
// Forgets both, at the start of a call.
void clearNoted();
// The noted reason's text, with the note on reconnecting when there is one;
// "" when nothing was noted.
std::string renderNoted();

// The exported function the calling thread is in (a literal), for the log
// and for naming the set-up function that cancels a wait; "" outside one.
// Restores the outer name at the end of its scope.
class CallScope {
 public:
  explicit CallScope(const char* function);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  const char* outer_;
};
const char* currentCall();

}  // namespace Log
}  // namespace Tivaxlib
