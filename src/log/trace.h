// SPDX-License-Identifier: MIT
// The trace of what the library does on the link, for integrators: TIVAX_LOG
// names where it goes ("stderr", or a file, opened for append and created
// with mode 0600), read when the library first asks. Unset, nothing is
// written and every event costs one predictable branch (tracing()).
//
// Each event is one line, written with one write call so that threads and
// processes sharing the file never interleave within a line:
//   2026-12-09 10:15:02.517 [4121:4121] send: ConsultarSAT session=000042 line="4|000042" bytes=9
// Secrets never reach it: the request messages write activation codes as
// ********, and shorten bulky fields (see shortened()). A log that cannot
// be written is given up on quietly; no call's result depends on it.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace Tivaxlib {
namespace Log {

namespace detail {
enum TraceState : int { kTraceUnread = 0, kTraceOff = 1, kTraceOn = 2 };
extern std::atomic<int> traceState;
bool readTraceConfiguration();
}  // namespace detail

// Whether events are being logged.
inline bool tracing() {
  const int state = detail::traceState.load(std::memory_order_relaxed);
  if (state == detail::kTraceOff) return false;
  return state == detail::kTraceOn || detail::readTraceConfiguration();
}

// Writes one event line; nothing when not tracing or the log is broken.
void trace(const char* event, const std::string& text);

// A diagnostic of the link, written to standard error exactly as given and
// also, as an event, to the log (unless the log is standard error itself).
void diagnostic(const std::string& text);

// What stands for a secret field.
constexpr char kMasked[] = "********";

// How a request field goes into the log.
enum class FieldRole {
  Plain,   // as it is, shortened past 256 bytes
  Secret,  // an activation or emergency code: always kMasked
  Bulky,   // a certificate or a signature: always shortened
  // The network configuration: plain, but for the Wi-Fi passphrase and the
  // proxy password inside it, which are kMasked (the request's layer does
  // that; shortened() takes it as Plain).
  Configuration,
};

// A field for the log: its first 64 bytes and its length when it is bulky
// or longer than 256 bytes, unless TIVAX_LOG_COMPLETO=1 asks for it whole.
std::string shortened(std::string_view field, FieldRole role = FieldRole::Plain);
// A "|"-separated line of the device's with every field shortened().
std::string shortenedLine(std::string_view line);
// Quotes a text for a log line: control bytes, quotes and backslashes
// escaped, so that the event stays on one line.
std::string quoted(std::string_view text);

// For tests and benchmarks: logs to `target` as TIVAX_LOG would name it
// (nullptr or "" stops logging), and shortens fields or not.
void setTraceTarget(const char* target);
void setCompleteFields(bool complete);

}  // namespace Log
}  // namespace Tivaxlib
