// SPDX-License-Identifier: MIT
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
#include "log/reason.h"
#include "log/text_format.h"
#include "log/trace.h"

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

using Log::Reason;
using Log::ReasonKind;

// A failure of the exchange, with its reason noted for the call.
ExchangeOutcome failed(ExchangeOutcome outcome, Reason reason) {
  Log::noteReason(std::move(reason));
  return outcome;
}

long long timeoutMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(answerTimeout()).count();
}

// A wait that ended before what it waited for: cancelled by a set-up
// function, or out of time (`elapsed` says what was waited for).
ExchangeOutcome failureOf(WaitEnd end, ExchangeOutcome whenElapsed, Reason elapsed) {
  if (end == WaitEnd::Cancelled) {
    noteCancelled();
    return ExchangeOutcome::Cancelled;
  }
  return failed(whenElapsed, std::move(elapsed));
}

Reason timedOut(const serial_port& port, const char* waitedFor) {
  return Reason(ReasonKind::TimedOut).on(port.path).saying(waitedFor).counting(timeoutMs());
}

constexpr char kNoAnswerInTime[] = "nenhuma resposta completa chegou";

double msBetween(Deadline::Clock::time_point from, Deadline::Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
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
  if (pauseOnLink(kQuietPauseMs, Deadline()) == WaitEnd::Cancelled) {
    noteCancelled();
    return ExchangeOutcome::Cancelled;
  }
  // A closed port is not waited for: the write says what is wrong.
  if (port.fd <= 0) return std::nullopt;
  const WaitEnd turn = port.lockExchange(Deadline::in(answerTimeout()));
  if (turn != WaitEnd::Ready)
    return failureOf(turn, ExchangeOutcome::PortBusy,
                     Reason(ReasonKind::PortBusy).on(port.path).counting(timeoutMs()));
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
      if (room != WaitEnd::Ready)
        return failureOf(room, ExchangeOutcome::TimedOut,
                         timedOut(port, "o equipamento não aceitou o pedido"));
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
    Log::diagnostic(
        Log::formatText("\nFailed to write on file. error: %d,  [%s]\n", err, std::strerror(err)));
    Log::noteReason(Reason(ReasonKind::WriteFailed).on(port.path).withError(err));
    port.closePort();
    break;
  }
  if (written == line.size()) return std::nullopt;
  // Stopped short without an error of its own: the port was closed under it.
  if (Log::notedReason().kind != ReasonKind::WriteFailed)
    Log::noteReason(Reason(ReasonKind::WriteFailed).on(port.path).withError(EBADF));
  return ExchangeOutcome::WriteFailed;
}

Failure sendLine(serial_port& port, ICommSendMessage& message) {
  // Whatever the device said before this request is stale.
  port.flushBoth();
  const std::string line = frameRequest(message.pullMessageToSend());
  if (Log::tracing())
    Log::trace("send", Log::formatText("%s bytes=%zu", message.pullMessageToLog().c_str(),
                                       line.size()));
  return writeLine(port, line);
}

bool onlyLineEnds(const std::string& text) {
  return text.find_first_not_of("\r\n") == std::string::npos;
}

// What the log says of one receive: how many bytes came, and when. Costs
// nothing but the test of `on` when the log is off.
class ReceiveTrace {
 public:
  explicit ReceiveTrace(bool on) : on_(on) {
    if (on_) start_ = Deadline::Clock::now();
  }
  void read(std::size_t bytes) {
    if (!on_) return;
    if (total_ == 0) first_ = Deadline::Clock::now();
    total_ += bytes;
  }
  void answered(const ICommReceiveMessage& message, const std::string& handedOver) const {
    if (!on_) return;
    Log::trace("receive", Log::formatText("bytes=%zu first_byte_ms=%.1f total_ms=%.1f %s", total_,
                                          msBetween(start_, first_),
                                          msBetween(start_, Deadline::Clock::now()),
                                          message.describeForLog(handedOver).c_str()));
  }
  ExchangeOutcome ended(ExchangeOutcome outcome) const {
    if (on_)
      Log::trace("receive",
                 Log::formatText("bytes=%zu total_ms=%.1f no answer: %s", total_,
                                 msBetween(start_, Deadline::Clock::now()),
                                 Log::reasonPhrase(Log::notedReason().kind)));
    return outcome;
  }

 private:
  bool on_;
  std::size_t total_ = 0;
  Deadline::Clock::time_point start_{}, first_{};
};

// Reads fills until one ends in a line feed, and hands everything read to
// the message; when that held no answer yet, reads on and hands over what
// follows. A fill keeps what it has across reads that bring nothing (a
// polled answer is often caught halfway); a full buffer that ends inside a
// line goes to the answer and the reading goes on, however many line feeds
// (an echo's) it holds.
ExchangeOutcome readAnswer(serial_port& port, ICommReceiveMessage& message,
                           const Deadline& deadline) {
  ReceiveTrace traced(Log::tracing());
  // Value-initialised: the buffer starts zero-filled.
  const std::unique_ptr<char[]> buffer(new char[kReadBufferSize]());
  std::string answer;
  size_t handedOver = 0;  // what the message took without finding its answer

  const bool blocking = message.blockingRead();
  if (!port.setNonBloking(blocking))
    return traced.ended(failed(ExchangeOutcome::ReadModeFailed,
                               Reason(ReasonKind::SettingsRefused)
                                   .on(port.path)
                                   .saying("o modo de leitura não pôde ser aplicado")
                                   .withError(errno)));

  int failures = 0;
  bool lastFailureSilent = false;
  int lastReadError = 0;  // 0: the read found the end of the data
  size_t filled = 0;
  for (;;) {
    ssize_t count = -1;
    lastReadError = EBADF;  // the port was closed
    if (port.fd > 0) {
      if (cancelRequested()) {
        noteCancelled();
        return traced.ended(ExchangeOutcome::Cancelled);
      }
      if (deadline.passed())
        return traced.ended(failed(ExchangeOutcome::TimedOut, timedOut(port, kNoAnswerInTime)));
      count = port.readSome(buffer.get() + filled, std::min(kReadPiece, kReadBufferSize - filled));
      lastReadError = count < 0 ? errno : 0;
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Nothing there. Blocking, the wait is for the device to send (as
        // long as it takes, without TIVAX_TIMEOUT); polling, the read found
        // silence.
        if (blocking) {
          const WaitEnd ready = port.waitReadable(deadline);
          if (ready != WaitEnd::Ready)
            return traced.ended(
                failureOf(ready, ExchangeOutcome::TimedOut, timedOut(port, kNoAnswerInTime)));
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
      if (++failures >= kFailedReadBudget) {
        if (lastFailureSilent)
          return traced.ended(failed(ExchangeOutcome::NoAnswer,
                                     Reason(ReasonKind::NoAnswer).on(port.path).counting(failures)));
        return traced.ended(failed(
            ExchangeOutcome::HungUp,
            Reason(ReasonKind::HungUp)
                .on(port.path)
                .saying(lastReadError ? std::strerror(lastReadError) : "fim dos dados")
                .counting(failures)));
      }
      const WaitEnd paused = pauseOnLink(kRetryPauseMs, deadline);
      if (paused != WaitEnd::Ready)
        return traced.ended(
            failureOf(paused, ExchangeOutcome::TimedOut, timedOut(port, kNoAnswerInTime)));
      continue;
    }
    traced.read(static_cast<size_t>(count));
    filled += static_cast<size_t>(count);
    const bool lineEnd = buffer[filled - 1] == '\n';
    if (!lineEnd && filled < kReadBufferSize) continue;

    if (handedOver + answer.size() > kAnswerCap)
      return traced.ended(failed(ExchangeOutcome::OverCap,
                                 Reason(ReasonKind::OverCap)
                                     .on(port.path)
                                     .counting(static_cast<long long>(handedOver + answer.size() + filled),
                                               static_cast<long long>(kAnswerCap))));
    answer.append(buffer.get(), filled);
    filled = 0;
    if (!lineEnd) {
      // Progress, not failure: the budget starts over.
      failures = 1;
      const WaitEnd paused = pauseOnLink(kRetryPauseMs, deadline);
      if (paused != WaitEnd::Ready)
        return traced.ended(
            failureOf(paused, ExchangeOutcome::TimedOut, timedOut(port, kNoAnswerInTime)));
      continue;
    }
    // A lone line end (LF, or CR LF) is not an answer yet; the line that
    // follows it is, and it stays in front of that line.
    if (onlyLineEnds(answer)) continue;
    message.pushReceivedMessage(answer);
    if (!message.answerPending()) {
      traced.answered(message, answer);
      return ExchangeOutcome::Answered;
    }
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
  const WaitEnd turn = port->lockExchange(Deadline::in(answerTimeout()));
  if (turn != WaitEnd::Ready) {
    failureOf(turn, ExchangeOutcome::PortBusy,
              Reason(ReasonKind::PortBusy).on(port->path).counting(timeoutMs()));
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
  if (!port)
    return failed(ExchangeOutcome::NoPort,
                  Reason(ReasonKind::Internal).saying("o canal não tem porta"));
  try {
    if (const Failure stopped = takeTurn(*port)) return *stopped;
    const Turn turn(*port);
    const Failure stopped = sendLine(*port, request);
    // The answer's deadline runs from the end of the send.
    const ExchangeOutcome outcome =
        stopped ? *stopped : readAnswer(*port, response, Deadline::in(answerTimeout()));
    // A port whose settings were refused at open is the likely cause of an
    // exchange that then fails on it.
    if (outcome != ExchangeOutcome::Answered && outcome != ExchangeOutcome::Cancelled &&
        port->settingsFailure.kind != ReasonKind::None)
      Log::noteReason(port->settingsFailure);
    return outcome;
  } catch (...) {
    Log::noteReason(Reason(ReasonKind::Internal)
                        .saying("memória insuficiente, ou uma mensagem falhou ao dar o pedido "
                                "ou ao tomar a resposta"));
    return ExchangeOutcome::InternalError;
  }
}

}  // namespace Comm
}  // namespace Tivaxlib
