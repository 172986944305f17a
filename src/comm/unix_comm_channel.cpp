#include "comm/unix_comm_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "comm/pause.h"
#include "comm/serial_port.h"
#include "comm/waits.h"

namespace Tivaxlib {
namespace Comm {

namespace {

constexpr long kQuietPauseMs = 10;          // before discarding stale input for a send
constexpr size_t kWritePiece = 8192;         // bytes per write call
constexpr size_t kReadBufferSize = 1 << 20;  // one fill
constexpr size_t kReadPiece = 4096;          // bytes per read call
// A fill that completes once the answer already holds more than this is
// refused, so an answer never grows past this plus one fill.
constexpr size_t kAnswerCap = (2u << 20) - 1;
constexpr int kFailedReadBudget = 30;
constexpr long kRetryPauseMs = 100;          // after a failed read or a fill without a line end

// What a step of an exchange reports: how it failed, or nothing.
using Failure = std::optional<ExchangeOutcome>;

ExchangeOutcome failureOf(WaitEnd end, ExchangeOutcome whenElapsed) {
  return end == WaitEnd::Cancelled ? ExchangeOutcome::Cancelled : whenElapsed;
}

std::string frameRequest(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  text.push_back('\n');
  return text;
}

// The cross-process turn taken by takeTurn, given back at the end of scope.
struct Turn {
  explicit Turn(serial_port& p) : port(p) {}
  ~Turn() { port.unlockExchange(); }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
  serial_port& port;
};

// The quiet pause, then the port for ourselves. The pause comes first: a
// process that has just ended its exchange and starts the next one leaves
// the port free for that long, and a process waiting for it gets its turn.
Failure takeTurn(serial_port& port) {
  if (pauseOnLink(kQuietPauseMs, Deadline()) == WaitEnd::Cancelled)
    return ExchangeOutcome::Cancelled;
  // A closed port is not waited for: the write says what is wrong.
  if (port.fd <= 0) return std::nullopt;
  const WaitEnd turn = port.lockExchange(Deadline::in(answerTimeout()));
  if (turn != WaitEnd::Ready) return failureOf(turn, ExchangeOutcome::PortBusy);
  return std::nullopt;
}

// The device may not take bytes as fast as they come: once the output
// queue is full, each write waits for room. Each stall is bounded like a
// wait for an answer.
Failure writeLine(serial_port& port, const std::string& line) {
  size_t written = 0;
  bool queueFull = false;
  while (written < line.size()) {
    if (queueFull) {
      const WaitEnd room = port.waitWritable(Deadline::in(answerTimeout()));
      if (room != WaitEnd::Ready) return failureOf(room, ExchangeOutcome::TimedOut);
    }
    const size_t piece = std::min(kWritePiece, line.size() - written);
    const ssize_t count = port.writeSome(line.data() + written, piece);
    if (count >= 0) {
      written += static_cast<size_t>(count);
      queueFull = static_cast<size_t>(count) < piece;
      if (port.fd > 0) continue;
      break;
    }
    const int err = errno;
    // Nothing was written and the link is fine: a signal arrived, or the
    // output queue is full.
    if (err == EINTR) continue;
    if (err == EAGAIN) {
      queueFull = true;
      continue;
    }
    // Any other failure means the link is gone: closing the port makes the
    // next operation reconnect.
    std::fprintf(stderr, "\nFailed to write on file. error: %d,  [%s]\n", err, std::strerror(err));
    port.closePort();
    break;
  }
  if (written == line.size()) return std::nullopt;
  return ExchangeOutcome::WriteFailed;
}

Failure sendLine(serial_port& port, ICommSendMessage& message) {
  // Whatever the device said before this request is stale.
  port.flushBoth();
  return writeLine(port, frameRequest(message.pullMessageToSend()));
}

bool onlyLineEnds(const std::string& text) {
  return text.find_first_not_of("\r\n") == std::string::npos;
}

// Reads fills until one ends in a line feed, and hands everything read to
// the message; when that held no answer yet, reads on and hands over what
// follows. A fill keeps what it has across reads that bring nothing (a
// polled answer is often caught halfway); a full buffer that ends inside a
// line goes to the answer and the reading goes on, however many line feeds
// (an echo's) it holds.
ExchangeOutcome readAnswer(serial_port& port, ICommReceiveMessage& message,
                           const Deadline& deadline) {
  // Value-initialised: the buffer starts zero-filled.
  const std::unique_ptr<char[]> buffer(new char[kReadBufferSize]());
  std::string answer;
  size_t handedOver = 0;  // what the message took without finding its answer

  const bool blocking = message.blockingRead();
  if (!port.setNonBloking(blocking)) return ExchangeOutcome::ReadModeFailed;

  int failures = 0;
  bool lastFailureSilent = false;
  size_t filled = 0;
  for (;;) {
    ssize_t count = -1;
    if (port.fd > 0) {
      if (cancelRequested()) return ExchangeOutcome::Cancelled;
      if (deadline.passed()) return ExchangeOutcome::TimedOut;
      count = port.readSome(buffer.get() + filled, std::min(kReadPiece, kReadBufferSize - filled));
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Nothing there. Blocking, the wait is for the device to send (as
        // long as it takes, without TIVAX_TIMEOUT); polling, the read found
        // silence.
        if (blocking) {
          const WaitEnd ready = port.waitReadable(deadline);
          if (ready != WaitEnd::Ready) return failureOf(ready, ExchangeOutcome::TimedOut);
          continue;
        }
        count = 0;
      }
    }
    if (count <= 0) {
      // Silence while polling, or a device that went away: both spend the
      // budget, and running out of it reads as a reset connection.
      lastFailureSilent = count == 0 && !blocking;
      errno = ECONNRESET;
      if (++failures >= kFailedReadBudget)
        return lastFailureSilent ? ExchangeOutcome::NoAnswer : ExchangeOutcome::HungUp;
      const WaitEnd paused = pauseOnLink(kRetryPauseMs, deadline);
      if (paused != WaitEnd::Ready) return failureOf(paused, ExchangeOutcome::TimedOut);
      continue;
    }
    filled += static_cast<size_t>(count);
    const bool lineEnd = buffer[filled - 1] == '\n';
    if (!lineEnd && filled < kReadBufferSize) continue;

    if (handedOver + answer.size() > kAnswerCap) return ExchangeOutcome::OverCap;
    answer.append(buffer.get(), filled);
    filled = 0;
    if (!lineEnd) {
      // Progress, not failure: the budget starts over.
      failures = 1;
      const WaitEnd paused = pauseOnLink(kRetryPauseMs, deadline);
      if (paused != WaitEnd::Ready) return failureOf(paused, ExchangeOutcome::TimedOut);
      continue;
    }
    // A lone line end (LF, or CR LF) is not an answer yet; the line that
    // follows it is, and it stays in front of that line.
    if (onlyLineEnds(answer)) continue;
    message.pushReceivedMessage(answer);
    if (!message.answerPending()) return ExchangeOutcome::Answered;
    handedOver += answer.size();
    answer.clear();
  }
}

}  // namespace

UnixCommChannel::UnixCommChannel(const std::string& path) { replaceCurrentSerialPort(path); }

UnixCommChannel::~UnixCommChannel() { closeChannel(); }

bool UnixCommChannel::openChannel() {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port || !port->portOpen()) return false;
  // The settings belong to the device, shared with any other process that
  // has it open: they are applied in a turn of our own, never in the
  // middle of another process's exchange.
  if (port->lockExchange(Deadline::in(answerTimeout())) != WaitEnd::Ready) {
    port->closePort();
    return false;
  }
  port->setParameters();
  port->unlockExchange();
  return port->fd > 0;
}

bool UnixCommChannel::closeChannel() {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port || port->fd <= 0) return false;
  port->closePort();
  return true;
}

bool UnixCommChannel::isChannelOpened() const {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  return port && port->fd > 0;
}

bool UnixCommChannel::sendToChannel(ICommSendMessage& message) {
  const std::lock_guard<std::mutex> lock(mutex);
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port) return false;
  try {
    if (takeTurn(*port)) return false;
    const Turn turn(*port);
    return !sendLine(*port, message);
  } catch (...) {
    // Out of memory, or a message that failed to build its line.
    return false;
  }
}

bool UnixCommChannel::receiveFromChannel(ICommReceiveMessage& message) {
  const std::lock_guard<std::mutex> lock(mutex);
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port) return false;
  try {
    if (port->fd > 0 && port->lockExchange(Deadline::in(answerTimeout())) != WaitEnd::Ready)
      return false;
    const Turn turn(*port);
    return readAnswer(*port, message, Deadline::in(answerTimeout())) == ExchangeOutcome::Answered;
  } catch (...) {
    return false;
  }
}

ExchangeOutcome UnixCommChannel::exchange(ICommSendMessage& request,
                                          ICommReceiveMessage& response) {
  const std::lock_guard<std::mutex> lock(mutex);
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port) return ExchangeOutcome::NoPort;
  try {
    if (const Failure failed = takeTurn(*port)) return *failed;
    const Turn turn(*port);
    if (const Failure failed = sendLine(*port, request)) return *failed;
    // The answer's deadline runs from the end of the send.
    return readAnswer(*port, response, Deadline::in(answerTimeout()));
  } catch (...) {
    return ExchangeOutcome::InternalError;
  }
}

}  // namespace Comm
}  // namespace Tivaxlib
