// SPDX-License-Identifier: MIT
// The channel seam: the protocol layers talk to a device through this
// interface only, so that tests can put a scripted channel in its place.
#pragma once

#include "comm/comm_message.h"
#include "comm/exchange_outcome.h"

namespace Tivaxlib {
namespace Comm {

class ICommChannel {
 public:
  virtual ~ICommChannel() = default;
  virtual bool openChannel() = 0;
  virtual bool closeChannel() = 0;
  virtual bool isChannelOpened() const = 0;
  // Sends message.pullMessageToSend() as one line; true when every byte of
  // the line was written.
  virtual bool sendToChannel(ICommSendMessage& message) = 0;
  // Reads one answer and hands it to message.pushReceivedMessage(); true
  // when a line was delivered.
  virtual bool receiveFromChannel(ICommReceiveMessage& message) = 0;

  // One whole exchange: the request out and its answer back, as one turn
  // on the link. A channel that cannot do better sends, then receives for
  // as long as the message still waits for its answer.
  virtual ExchangeOutcome exchange(ICommSendMessage& request, ICommReceiveMessage& response) {
    if (!sendToChannel(request)) return ExchangeOutcome::WriteFailed;
    do {
      if (!receiveFromChannel(response)) return ExchangeOutcome::NoAnswer;
    } while (response.answerPending());
    return ExchangeOutcome::Answered;
  }
};

}  // namespace Comm
}  // namespace Tivaxlib
