// SPDX-License-Identifier: MIT
// The two faces a message shows to the channel: a request gives the text of
// one request line, a response takes what was read and says how to read it.
#pragma once

#include <string>

#include "log/trace.h"

namespace Tivaxlib {
namespace Comm {

class ICommSendMessage {
 public:
  virtual ~ICommSendMessage() = default;
  // The request line, ended by one line feed. Reads the fields only, so
  // every call yields the same text.
  virtual std::string pullMessageToSend() const = 0;
  // What the log shows of the request: the line without its terminator,
  // with secrets masked and bulky fields shortened. A message that knows
  // its fields names its function and masks by field; this default can
  // only shorten.
  virtual std::string pullMessageToLog() const {
    std::string line = pullMessageToSend();
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return "line=" + Log::quoted(Log::shortenedLine(line));
  }
};

class ICommReceiveMessage {
 public:
  virtual ~ICommReceiveMessage() = default;
  // Everything read for one answer (one or more lines, each ended by a line
  // feed). Never throws for any content.
  virtual void pushReceivedMessage(std::string& line) = 0;
  // true: wait for the first byte of the answer; false: poll.
  virtual bool blockingRead() const = 0;
  // Asked after pushReceivedMessage: true when what it was given holds
  // nothing that answers the request yet (a bare echo, blank lines, a line
  // for another session). The channel then reads on, and hands over only
  // what arrives after it.
  virtual bool answerPending() const { return false; }
  // What the log shows of `received`, the text last handed over: the
  // answer taken from it, with what the request's secrets would reveal
  // masked.
  virtual std::string describeForLog(const std::string& received) const {
    return "text=" + Log::quoted(Log::shortenedLine(received));
  }
};

}  // namespace Comm
}  // namespace Tivaxlib
