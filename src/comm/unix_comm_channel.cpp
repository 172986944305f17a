// SPDX-License-Identifier: MIT
#include "comm/unix_comm_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

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
constexpr size_t kWritePiece = 65536;        // bytes per write call
constexpr size_t kWriteTail = 4096;          // written with the line feed
constexpr size_t kReadPiece = 65536;         // bytes per read call
// The most one line of an answer may hold: a read that takes it past this
// ends the exchange. Lines already handed over (an echo, other sessions'
// lines) are not kept, and do not count.
constexpr size_t kAnswerLimit = 2u << 20;
constexpr long kDiscardQuietMs = 150;   // a pause that ends an abandoned line
constexpr long kDiscardLimitMs = 3000;  // the longest an abandoned line is read
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

// The request's text without line feeds: the one that ends it is written
// after it (see writeLine), so that a large request is never copied whole
// for the sake of one byte.
std::string requestText(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
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
  if (port.fd < 0) return std::nullopt;
  const WaitEnd turn = port.lockExchange(Deadline::in(answerTimeout()));
  if (turn != WaitEnd::Ready)
    return failureOf(turn, ExchangeOutcome::PortBusy,
                     Reason(ReasonKind::PortBusy).on(port.path).counting(timeoutMs()));
  return std::nullopt;
}

// Writes `text` and the line feed that ends it. The device may not take
// bytes as fast as they come: once the output queue is full, each write
// waits for room. Each stall is bounded like a wait for an answer.
// `written` counts what went out, the line feed included.
Failure writeLine(serial_port& port, const std::string& text, size_t& written) {
  // The last bytes go out together with the line feed, from a small copy:
  // a short request leaves in one write, a long one is written from where
  // it lies.
  const size_t tailSize = std::min(text.size(), kWriteTail);
  std::string tail(text, text.size() - tailSize);
  tail.push_back('\n');
  const size_t headSize = text.size() - tailSize;
  const size_t lineSize = headSize + tail.size();
  written = 0;
  bool queueFull = false;
  while (written < lineSize) {
    if (queueFull) {
      const WaitEnd room = port.waitWritable(Deadline::in(answerTimeout()));
      if (room != WaitEnd::Ready)
        return failureOf(room, ExchangeOutcome::TimedOut,
                         timedOut(port, "o equipamento não aceitou o pedido"));
    }
    const bool inHead = written < headSize;
    const char* const from = inHead ? text.data() + written : tail.data() + (written - headSize);
    const size_t piece = std::min(kWritePiece, (inHead ? headSize : lineSize) - written);
    const ssize_t count = port.writeSome(from, piece);
    if (count >= 0) {
      written += static_cast<size_t>(count);
      queueFull = static_cast<size_t>(count) < piece;
      if (port.fd >= 0) continue;
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
  if (written == lineSize) return std::nullopt;
  // Stopped short without an error of its own: the port was closed under it.
  if (Log::notedReason().kind != ReasonKind::WriteFailed)
    Log::noteReason(Reason(ReasonKind::WriteFailed).on(port.path).withError(EBADF));
  return ExchangeOutcome::WriteFailed;
}

// What is left of a line the last exchange gave up on (an answer refused
// for its size, or cut by a deadline or a cancellation) is read and thrown
// away until the device pauses, so that no part of it stands in front of
// the next answer: a flush alone would cut a stream that is still coming
// in the middle of a line. Bounded by a fixed limit.
void discardAbandonedLine(serial_port& port) {
  if (!port.abandonedLine) return;
  port.abandonedLine = false;
  const Deadline limit = Deadline::in(std::chrono::milliseconds(kDiscardLimitMs));
  std::vector<char> chunk(kReadPiece);
  size_t discarded = 0;
  while (!limit.passed()) {
    const ssize_t count = port.readSome(chunk.data(), chunk.size());
    if (count > 0) {
      discarded += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR) break;
    const Deadline quiet = Deadline::in(std::chrono::milliseconds(kDiscardQuietMs));
    if (port.waitReadable(Deadline::earlier(quiet, limit)) != WaitEnd::Ready) break;
  }
  if (Log::tracing())
    Log::trace("discard",
               Log::formatText("%zu bytes of an abandoned line before the request", discarded));
}

// A request cut short by a deadline or a cancellation left part of a line at
// the device: a line feed ends it there, and what the device says of it is
// discarded, so that the next request reaches the device whole and alone.
// true when it did: what is still queued of that line must then go out.
bool endPartialRequest(serial_port& port) {
  if (!port.partialRequest) return false;
  port.partialRequest = false;
  size_t written = 0;
  if (writeLine(port, std::string(), written)) return false;
  port.abandonedLine = true;  // the device's answer to the cut line
  if (Log::tracing()) Log::trace("send", "a line feed ends the request cut short before");
  return true;
}

Failure sendLine(serial_port& port, ICommSendMessage& message, size_t& written) {
  written = 0;
  const bool keepOutput = endPartialRequest(port);
  discardAbandonedLine(port);
  // Whatever the device said before this request is stale.
  if (keepOutput)
    port.flushInput();
  else
    port.flushBoth();
  const std::string text = requestText(message.pullMessageToSend());
  if (Log::tracing())
    Log::trace("send", Log::formatText("%s bytes=%zu", message.pullMessageToLog().c_str(),
                                       text.size() + 1));
  const Failure failure = writeLine(port, text, written);
  // Stopped between the first byte and the last: the device holds part of it.
  if (failure && written > 0 && port.fd >= 0) port.partialRequest = true;
  return failure;
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

// Appends to the answer being read, whose storage is kept between
// exchanges: it grows as a string does, but not past one answer's limit
// for the sake of growing.
void appendKept(std::string& line, const char* data, size_t size) {
  const size_t needed = line.size() + size;
  if (needed > line.capacity())
    line.reserve(std::max(needed, std::min(2 * line.capacity(), kAnswerLimit)));
  line.append(data, size);
}

// A hang-up seen while the read mode is applied (the terminal refuses its
// settings with EIO once the device is gone) is a lost link, not a refusal.
ExchangeOutcome readModeFailed(const serial_port& port, int err) {
  if (err == EIO || err == ENXIO || err == ENODEV)
    return failed(ExchangeOutcome::HungUp,
                  Reason(ReasonKind::HungUp)
                      .on(port.path)
                      .saying("a leitura de " + port.path +
                              " não pôde começar: o modo de leitura não foi aplicado")
                      .withError(err));
  return failed(ExchangeOutcome::ReadModeFailed, Reason(ReasonKind::SettingsRefused)
                                                     .on(port.path)
                                                     .saying("o modo de leitura não pôde ser aplicado")
                                                     .withError(err));
}

// Reads until a line feed, and hands every complete line read so far to the
// message: a line is complete at its line feed, whatever follows it in the
// same read. When what was handed over held no answer yet (an echo, blank
// lines, lines for other sessions), what follows is read on and handed
// over in turn. Lone line ends stay in front of the line that follows.
ExchangeOutcome readAnswer(serial_port& port, ICommReceiveMessage& message,
                           const Deadline& deadline) {
  ReceiveTrace traced(Log::tracing());
  std::vector<char> chunk(kReadPiece);
  // Read, not handed over: at most one unfinished line. Its storage is the
  // port's, kept from one answer to the next, so that a long answer does
  // not grow a fresh buffer (and fault its pages in) every time; messages
  // read what they are handed and leave it there.
  std::string& line = port.incoming;
  line.clear();

  // Every way out but an answer: a line cut short is abandoned at the port.
  const auto ended = [&](ExchangeOutcome outcome) {
    if (!onlyLineEnds(line)) port.abandonedLine = true;
    return traced.ended(outcome);
  };

  const bool blocking = message.blockingRead();
  if (!port.setNonBloking(blocking)) return traced.ended(readModeFailed(port, errno));

  int failures = 0;
  bool lastFailureSilent = false;
  int lastReadError = 0;  // 0: the read found the end of the data
  for (;;) {
    ssize_t count = -1;
    lastReadError = EBADF;  // the port was closed
    if (port.fd >= 0) {
      if (cancelRequested()) {
        noteCancelled();
        return ended(ExchangeOutcome::Cancelled);
      }
      // Checked before every read, not only when the device falls silent: a
      // device that keeps sending lines that are not the answer still ends
      // the call at its deadline.
      if (deadline.passed())
        return ended(failed(ExchangeOutcome::TimedOut, timedOut(port, kNoAnswerInTime)));
      count = port.readSome(chunk.data(), chunk.size());
      lastReadError = count < 0 ? errno : 0;
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Nothing there. Blocking, the wait is for the device to send (as
        // long as it takes, without TIVAX_TIMEOUT); polling, the read found
        // silence.
        if (blocking) {
          const WaitEnd ready = port.waitReadable(deadline);
          if (ready != WaitEnd::Ready)
            return ended(
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
          return ended(failed(ExchangeOutcome::NoAnswer,
                              Reason(ReasonKind::NoAnswer).on(port.path).counting(failures)));
        return ended(failed(
            ExchangeOutcome::HungUp,
            Reason(ReasonKind::HungUp)
                .on(port.path)
                .saying(Log::formatText("a leitura de %s falhou %d vezes seguidas",
                                        port.path.c_str(), failures))
                .withError(lastReadError)));
      }
      // Polling, the pause between reads ends as soon as the answer is
      // there; a failing read pauses its whole course.
      const WaitEnd paused = lastFailureSilent ? port.pauseUnlessReadable(kRetryPauseMs, deadline)
                                               : pauseOnLink(kRetryPauseMs, deadline);
      if (paused != WaitEnd::Ready)
        return ended(
            failureOf(paused, ExchangeOutcome::TimedOut, timedOut(port, kNoAnswerInTime)));
      continue;
    }
    // Progress, not failure: the budget starts over.
    failures = 0;
    const size_t got = static_cast<size_t>(count);
    traced.read(got);
    const char* const data = chunk.data();
    const void* const lastFeed = memrchr(data, '\n', got);
    // Only the part up to the first line feed can belong to the line begun.
    const void* const firstFeed = lastFeed ? std::memchr(data, '\n', got) : nullptr;
    const size_t toFirstFeed =
        firstFeed ? static_cast<size_t>(static_cast<const char*>(firstFeed) - data) + 1 : got;
    if (line.size() + toFirstFeed > kAnswerLimit)
      return ended(failed(ExchangeOutcome::OverCap,
                          Reason(ReasonKind::OverCap)
                              .on(port.path)
                              .counting(static_cast<long long>(line.size() + toFirstFeed),
                                        static_cast<long long>(kAnswerLimit))));
    if (lastFeed == nullptr) {
      appendKept(line, data, got);
      continue;
    }
    const size_t complete = static_cast<size_t>(static_cast<const char*>(lastFeed) - data) + 1;
    appendKept(line, data, complete);
    // A lone line end (LF, or CR LF) is not an answer yet; the line that
    // follows it is, and it stays in front of that line.
    if (!onlyLineEnds(line)) {
      message.pushReceivedMessage(line);
      if (!message.answerPending()) {
        // What followed the line feed is the next line, stale for the next
        // request: the flush before it discards it.
        traced.answered(message, line);
        return ExchangeOutcome::Answered;
      }
      line.clear();
    }
    appendKept(line, data + complete, got - complete);
  }
}
}  // namespace

UnixCommChannel::UnixCommChannel(const std::string& path) { replaceCurrentSerialPort(path); }

UnixCommChannel::~UnixCommChannel() { closeChannel(); }

namespace {

// Opens the port and applies its settings in a turn of our own: the
// settings belong to the device, shared with any other process that has it
// open, and are never changed in the middle of another process's exchange.
// On success the turn is kept when `keepTurn`.
bool openAndSetUp(serial_port& port, bool keepTurn) {
  if (!port.portOpen()) return false;
  const WaitEnd turn = port.lockExchange(Deadline::in(answerTimeout()));
  if (turn != WaitEnd::Ready) {
    failureOf(turn, ExchangeOutcome::PortBusy,
              Reason(ReasonKind::PortBusy).on(port.path).counting(timeoutMs()));
    port.closePort();
    return false;
  }
  port.setParameters();
  if (!keepTurn || port.fd < 0) port.unlockExchange();
  return port.fd >= 0;
}

}  // namespace

bool UnixCommChannel::openChannel() {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  return port && openAndSetUp(*port, false);
}

bool UnixCommChannel::closeChannel() {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port || port->fd < 0) return false;
  port->closePort();
  return true;
}

bool UnixCommChannel::isChannelOpened() const {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  // A port this process inherited through fork is its parent's: the
  // parent's exchanges run on it, and its lock does not keep the two apart.
  // It counts as closed, so that the next call opens a port of its own.
  return port && port->fd >= 0 && !port->inherited();
}

bool UnixCommChannel::sendToChannel(ICommSendMessage& message) {
  const std::lock_guard<std::mutex> lock(mutex);
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port) return false;
  try {
    if (takeTurn(*port)) return false;
    const Turn turn(*port);
    size_t written = 0;
    return !sendLine(*port, message, written);
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
    if (port->fd >= 0 && port->lockExchange(Deadline::in(answerTimeout())) != WaitEnd::Ready)
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
    size_t written = 0;
    Failure stopped = sendLine(*port, request, written);
    // Not a byte went out, and the port is closed: the device went away
    // since the last exchange (unplugged and plugged in again, say). The
    // link is opened again and the request goes out on it, as a call that
    // finds the link closed would do.
    if (stopped == ExchangeOutcome::WriteFailed && written == 0 && port->fd < 0 &&
        !cancelRequested()) {
      if (Log::tracing()) Log::trace("reconnect", "the write failed: opening the port again");
      if (openAndSetUp(*port, true)) {
        Log::noteReconnected();
        stopped = sendLine(*port, request, written);
      }
    }
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
