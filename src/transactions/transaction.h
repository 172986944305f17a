// SPDX-License-Identifier: MIT
// A transaction binds the request and the response of one SAT call to the
// channel that carries them, and judges whether the answer belongs to the
// request.
#pragma once

#include "comm/comm_channel.h"
#include "log/reason.h"
#include "messages/receive_messages.h"
#include "messages/send_messages.h"

namespace Tivaxlib {
namespace Transactions {

template <class Envio, class Retorno>
class Transaction {
 public:
  Envio request;
  Retorno response;
  Comm::ICommChannel* channel;

  explicit Transaction(Comm::ICommChannel* ch) : request(), response(), channel(ch) {
    response.envio = &request;
  }
  virtual ~Transaction() = default;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  virtual bool validateTransaction() const = 0;
  // Why validateTransaction() is false; kind None when it is true.
  virtual Log::Reason invalidity() const = 0;
};

// Rule A: the answer must carry a result code, a message and the request's
// own session number.
bool validateSameSession(const Messages::ReceiveMessageBase& response,
                         const Messages::SendMessageBase& request);

// Rule B, for the session queries: the device may answer with the stored
// answer of another session, whose whole line then stands in the message.
bool validateAnySession(const Messages::ReceiveMessageBase& response,
                        const Messages::SendMessageBase& request);

// Why each rule refuses an answer: what the decoding could not read, or
// the field that breaks the rule.
Log::Reason explainSameSession(const Messages::ReceiveMessageBase& response,
                               const Messages::SendMessageBase& request);
Log::Reason explainAnySession(const Messages::ReceiveMessageBase& response,
                              const Messages::SendMessageBase& request);

}  // namespace Transactions
}  // namespace Tivaxlib
