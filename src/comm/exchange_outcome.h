// SPDX-License-Identifier: MIT
// How one exchange on the link ended. Each way it can fail is told apart,
// so that the caller can say why a call gave the invalid result.
#pragma once

namespace Tivaxlib {
namespace Comm {

enum class ExchangeOutcome {
  Answered,        // a text that answers the request was handed to the message
  NoPort,          // there is no current port
  WriteFailed,     // the request could not be written; the port was closed
  ReadModeFailed,  // the read mode could not be applied to the port
  NoAnswer,        // polling ran out of its budget before an answer came
  HungUp,          // reads kept failing: the device went away
  OverCap,         // the answer grew past the size cap
  TimedOut,        // TIVAX_TIMEOUT passed while waiting for the answer or to write
  PortBusy,        // TIVAX_TIMEOUT passed while another process had the port
  Cancelled,       // a set-up function asked for the link
  InternalError,   // a message failed to give its line or take the answer, or memory ran out
};

// How a single wait on the link ended.
enum class WaitEnd {
  Ready,      // what was waited for happened (or the pause ran its course)
  Elapsed,    // the deadline passed first
  Cancelled,  // a set-up function asked for the link
};

}  // namespace Comm
}  // namespace Tivaxlib
