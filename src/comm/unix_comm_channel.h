// SPDX-License-Identifier: MIT
// The channel over a POSIX serial terminal: one request line out, one
// answer back, with the link's framing, timing and limits.
#pragma once

#include <mutex>
#include <string>

#include "comm/comm_channel.h"

namespace Tivaxlib {
namespace Comm {

class UnixCommChannel : public ICommChannel {
 public:
  // Replaces the process-wide current port by an unopened one for `path`.
  explicit UnixCommChannel(const std::string& path);
  // Closes the current port.
  ~UnixCommChannel() override;
  UnixCommChannel(const UnixCommChannel&) = delete;
  UnixCommChannel& operator=(const UnixCommChannel&) = delete;

  bool openChannel() override;
  bool closeChannel() override;
  bool isChannelOpened() const override;
  // The request text with every line feed removed and one appended. Only a
  // std::system_error from locking can escape.
  bool sendToChannel(ICommSendMessage& message) override;
  // Reads until a fill ends in a line feed and hands over everything read,
  // then reads on for as long as the message waits for its answer. Only a
  // std::system_error from locking can escape.
  bool receiveFromChannel(ICommReceiveMessage& message) override;
  // Send and receive as one turn, which no other thread and no other
  // process using this library on the same device can break into. The
  // waits (for the turn, for room to write, for the answer) end when a
  // set-up function asks for the link, and the waits for the turn and for
  // the answer after TIVAX_TIMEOUT when it is set. Only a std::system_error
  // from locking can escape.
  ExchangeOutcome exchange(ICommSendMessage& request, ICommReceiveMessage& response) override;

 private:
  // One send, one receive or one exchange at a time.
  std::mutex mutex;
};

// The channel the rest of the library builds; on this platform the POSIX one.
class CommChannel : public UnixCommChannel {
 public:
  using UnixCommChannel::UnixCommChannel;
};

}  // namespace Comm
}  // namespace Tivaxlib
