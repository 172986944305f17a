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
  // Reads until a fill ends in a line feed and hands over everything read.
  // Only a std::system_error from locking can escape.
  bool receiveFromChannel(ICommReceiveMessage& message) override;

 private:
  // One send or one receive at a time; a send and the receive after it
  // are separate turns.
  std::mutex mutex;
};

// The channel the rest of the library builds; on this platform the POSIX one.
class CommChannel : public UnixCommChannel {
 public:
  using UnixCommChannel::UnixCommChannel;
};

}  // namespace Comm
}  // namespace Tivaxlib
