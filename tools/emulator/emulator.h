// SPDX-License-Identifier: MIT
// A stand-in for the fiscal device: it serves the device's line protocol on
// a pseudo-terminal, so the library can be driven end to end without the
// hardware. Used in-process by the end-to-end tests and the demo, and as the
// tivax-emulator program.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tivaxemu {

// What the device does wrong on the wire. Faults combine: a run may set
// some for every request, and the session number adds one per request.
using Faults = unsigned;
enum Fault : Faults {
  kNoFault = 0,
  kEcho = 1u << 0,          // echoes the request line before the answer
  kCrLf = 1u << 1,          // ends lines with CR LF
  kSplit = 1u << 2,         // sends the answer in pieces with pauses between
  kDelay = 1u << 3,         // answers late
  kSilence = 1u << 4,       // does not answer
  kHangUp = 1u << 5,        // sends half the answer, then hangs up
  kGarbage = 1u << 6,       // sends random bytes without "|" instead
  kOversize = 1u << 7,      // answers with a line past the library's cap
  kOtherSession = 1u << 8,  // answers as if asked by another session
  kEchoThenSilence = 1u << 9,  // echoes the request and never answers
  kEchoLarge = 1u << 10,       // echoes, then a large answer, in one write
  kLateAnswer = 1u << 11,      // answers only once the next request has arrived
  kBlankLine = 1u << 12,       // a lone LF before the answer
  kBlankCrLf = 1u << 13,       // a lone CR LF before the answer
};

// Session numbers that pick a fault. They have seven digits: the standard's
// session numbers have six, so an application never meets these ranges, and
// neither does the random session of the library's consultaBloqueio (below
// 999999).
//
//   sessions          fault          on the wire
//   9000000-9000099   kEcho          the request line, then the answer
//   9000100-9000199   kCrLf          the answer ended by CR LF
//   9000200-9000299   kSplit         the answer in 3 pieces, 50 ms apart
//   9000300-9000399   kDelay         the answer after 1.5 s
//   9000400-9000499   kSilence       nothing
//   9000500-9000599   kHangUp        half the answer; 50 ms later the
//                                    terminal is closed and a new one opened
//                                    (the --link symlink is pointed at the
//                                    new one first)
//   9000600-9000699   kGarbage       random bytes without "|", then LF
//   9000700-9000799   kOversize      a 3 MiB line (LF included)
//   9000800-9000899   kOtherSession  the answer with session + 1 in front
//   9000900-9000999   kEchoThenSilence  the request line, then nothing
//   9001000-9001099   kEchoLarge     the request line and a 1.5 MiB answer
//                                    line, in one write
//   9001100-9001199   kLateAnswer    nothing until the next request line
//                                    arrives; then this answer, and 50 ms
//                                    later the next request's own
//   9001200-9001299   kBlankLine     a lone LF; 50 ms later the answer
//   9001300-9001399   kBlankCrLf     a lone CR LF; 50 ms later the answer
//
// The device still carries out the request (state changes, stored answer)
// whatever the fault; only what goes back on the wire changes.
constexpr std::int32_t kFaultRangeSize = 100;
constexpr std::int32_t kEchoSessions = 9000000;
constexpr std::int32_t kCrLfSessions = 9000100;
constexpr std::int32_t kSplitSessions = 9000200;
constexpr std::int32_t kDelaySessions = 9000300;
constexpr std::int32_t kSilenceSessions = 9000400;
constexpr std::int32_t kHangUpSessions = 9000500;
constexpr std::int32_t kGarbageSessions = 9000600;
constexpr std::int32_t kOversizeSessions = 9000700;
constexpr std::int32_t kOtherSessionSessions = 9000800;
constexpr std::int32_t kEchoThenSilenceSessions = 9000900;
constexpr std::int32_t kEchoLargeSessions = 9001000;
constexpr std::int32_t kLateAnswerSessions = 9001100;
constexpr std::int32_t kBlankLineSessions = 9001200;
constexpr std::int32_t kBlankCrLfSessions = 9001300;

// The fault that a session number selects (kNoFault outside the ranges).
Faults faultsForSession(std::int32_t session);

// Each fault by its name on the command line (`--falha eco`) and in the
// traffic report ("eco"), with the first session of its range.
struct NamedFault {
  Fault fault;
  const char* name;   // short, ASCII: what --falha and `controle falha` take
  const char* words;  // what the --verbose report shows
  std::int32_t sessions;
};
extern const NamedFault kNamedFaults[14];

// A fault for the next requests, as "TIPO" or "TIPO:N" (N >= 1, default 1).
struct CountedFault {
  Faults fault = kNoFault;
  int count = 0;  // answered requests left
};
// False with the reason in Portuguese when TIPO is unknown or N is bad.
bool parseCountedFault(const std::string& text, CountedFault& counted, std::string& error);

// What the emulator reports to Options::observer: a request, an answer,
// and why a refusal was given (the rule and element; told after the answer).
enum class Traffic { Request, Answer, Reason };

struct Options {
  std::string activationCode = "12345678";
  // The device's state file; empty: the built-in test device, in memory
  // (sat_device.h tells the difference).
  std::string statePath;
  std::string emergencyCode = "87654321";
  // Wrong activation codes in a row before the device locks itself; 0:
  // 3 with a state file, never for the built-in device.
  int maxWrongCodes = 0;
  // Changes from outside applied at start, as control() takes them.
  std::vector<std::string> outsideChanges;
  // When set, a symlink kept pointing at the current terminal side: a port
  // path that stays valid when the emulator replaces its terminal.
  std::string linkPath;
  // Faults applied to every request, on top of the session ranges.
  Faults faults = kNoFault;
  // Faults for the next answered requests only, each for its count; they
  // add to each other and to the above.
  std::vector<CountedFault> nextFaults;
  // The device's clock (seconds since the epoch); empty: the system clock.
  std::function<std::time_t()> clock;
  // Longest request line kept; the rest of a longer line is discarded and
  // the request answered with an error.
  std::size_t maxRequestBytes = 64u << 20;
  std::chrono::milliseconds splitPause{50};
  std::chrono::milliseconds answerDelay{1500};
  // Size of the oversized answer, line feed included.
  std::size_t oversizeBytes = 3u << 20;
  // Size of the large answer that follows an echo, line feed included.
  std::size_t largeBytes = (3u << 20) / 2;
  // Told of each request line as it arrived (without its terminator) and
  // of each answer line the device gives, with the faults that then change
  // what goes on the wire (0 for a request). Called on the serving thread;
  // what it throws is dropped. Unset: nothing is told.
  std::function<void(Traffic, const std::string& line, Faults faults)> observer;
};

class Emulator {
 public:
  explicit Emulator(Options options = Options());
  ~Emulator();  // stops
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Opens the device's state, the pseudo-terminal, and starts serving on a
  // thread of its own. False (with the reason in *error) when the state
  // file is unusable or the terminal cannot be set up.
  bool start(std::string* error = nullptr);
  // Stops serving, closes the terminal and removes the link. Idempotent.
  void stop();

  // The terminal side the library opens (changes after a hang-up).
  std::string terminalPath() const;
  // The link when one was asked for, else the terminal side.
  std::string portPath() const;

  // What arrived: the number of request lines, and the last one exactly as
  // received without its terminator (the first maxRequestBytes of a longer
  // one).
  std::uint64_t requestCount() const;
  std::string lastRequest() const;
  std::uint64_t hangUps() const;

  // The device's state.
  std::string activationCode() const;
  bool blocked() const;
  // A change from outside (SatDevice::control), or "falha TIPO[:N]" (a
  // fault for the next N answered requests); the outcome in Portuguese.
  bool control(const std::string& command, std::string& outcome);
  // The device's state as JSON, codes masked.
  std::string stateJson() const;

  // Back to the state at start: activation code, unblocked, no sales, no
  // stored sessions, empty log (with a state file: the file as it now
  // stands). The request records are kept.
  void resetDevice();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace tivaxemu
