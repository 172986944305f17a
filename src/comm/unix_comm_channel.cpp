#include "comm/unix_comm_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "comm/pause.h"
#include "comm/serial_port.h"

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
constexpr long kRetryPauseMs = 100;          // after a failed read or a fill without a line feed

std::string frameRequest(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  text.push_back('\n');
  return text;
}

bool writeLine(serial_port& port, const std::string& line) {
  size_t written = 0;
  while (written < line.size()) {
    const size_t piece = std::min(kWritePiece, line.size() - written);
    const ssize_t count = port.writeSome(line.data() + written, piece);
    if (count >= 0) {
      written += static_cast<size_t>(count);
      if (port.fd > 0) continue;
      break;
    }
    const int err = errno;
    // Nothing was written and the link is fine: a full output queue on a
    // non-blocking descriptor, or a signal that arrived while waiting.
    if (err == EAGAIN || err == EINTR) continue;
    // Any other failure means the link is gone: closing the port makes the
    // next operation reconnect.
    std::fprintf(stderr, "\nFailed to write on file. error: %d,  [%s]\n", err, std::strerror(err));
    port.closePort();
    break;
  }
  return written == line.size();
}

// Reads fills until one ends in a line feed. A fill keeps what it has
// across reads that bring nothing (a polled answer is often caught
// halfway); a full buffer without a line feed goes to the answer and
// the reading goes on.
bool readAnswer(serial_port& port, ICommReceiveMessage& message) {
  // Value-initialised: the buffer starts zero-filled.
  const std::unique_ptr<char[]> buffer(new char[kReadBufferSize]());
  std::string answer;
  bool answerHasLineFeed = false;

  if (!port.setNonBloking(message.blockingRead())) return false;

  int failures = 0;
  size_t filled = 0;
  for (;;) {
    ssize_t count = -1;
    if (port.fd > 0) {
      count = port.readSome(buffer.get() + filled, std::min(kReadPiece, kReadBufferSize - filled));
    }
    if (count <= 0) {
      // Silence, or a device that went away: both spend the budget, and
      // running out of it reads as a reset connection.
      errno = ECONNRESET;
      if (++failures >= kFailedReadBudget) return false;
      pause_ms(kRetryPauseMs);
      continue;
    }
    filled += static_cast<size_t>(count);
    const bool full = filled == kReadBufferSize;
    if (!full && buffer[filled - 1] != '\n') continue;

    if (answer.size() > kAnswerCap) return false;
    answerHasLineFeed =
        answerHasLineFeed || std::memchr(buffer.get(), '\n', filled) != nullptr;
    answer.append(buffer.get(), filled);
    filled = 0;
    if (!answerHasLineFeed) {
      // Progress, not failure: the budget starts over.
      failures = 1;
      pause_ms(kRetryPauseMs);
      continue;
    }
    // A lone line feed is not an answer yet; the line that follows it is.
    if (answer.size() <= 1) continue;
    message.pushReceivedMessage(answer);
    return true;
  }
}

}  // namespace

UnixCommChannel::UnixCommChannel(const std::string& path) { replaceCurrentSerialPort(path); }

UnixCommChannel::~UnixCommChannel() { closeChannel(); }

bool UnixCommChannel::openChannel() {
  const std::shared_ptr<serial_port> port = currentSerialPort();
  if (!port || !port->portOpen()) return false;
  port->setParameters();
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
    pause_ms(kQuietPauseMs);
    // Whatever the device said before this request is stale.
    port->flushBoth();
    return writeLine(*port, frameRequest(message.pullMessageToSend()));
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
    return readAnswer(*port, message);
  } catch (...) {
    return false;
  }
}

}  // namespace Comm
}  // namespace Tivaxlib
