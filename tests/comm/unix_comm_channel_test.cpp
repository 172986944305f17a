// SPDX-License-Identifier: MIT
#include "comm/unix_comm_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/serial_port.h"
#include "log/reason.h"
#include "pty_peer.h"

namespace Tivaxlib {
namespace Comm {
namespace {

using commtest::PauseRecorder;
using commtest::PtyPair;
using commtest::StderrCapture;

constexpr size_t MiB = 1u << 20;

// Where the channel sleeps while it waits for the device: in poll, next to
// the set-up event, never in a read or write that nothing could interrupt.
#ifdef SYS_poll
constexpr long kWaitCall = SYS_poll;
#else
constexpr long kWaitCall = SYS_ppoll;
#endif

struct Request : ICommSendMessage {
  explicit Request(std::string t) : text(std::move(t)) {}
  std::string pullMessageToSend() const override { return text; }
  std::string text;
};

struct Response : ICommReceiveMessage {
  explicit Response(bool blocking) : blocking(blocking) {}
  void pushReceivedMessage(std::string& line) override { received.push_back(line); }
  bool blockingRead() const override { return blocking; }
  bool blocking;
  std::vector<std::string> received;
};

// One pseudo-terminal and one channel opened on it; the one-second pause
// after opening is recorded, not slept.
class ChannelOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    channel = std::make_unique<CommChannel>(pty.slavePath);
    ASSERT_TRUE(channel->openChannel());
    recorder.clear();
  }

  termios peerSettings() const {
    termios t{};
    tcgetattr(pty.peerSlave, &t);
    return t;
  }

  // Sends `text` while a reader on the master collects the line, so that
  // requests larger than the terminal's buffers get through.
  std::string sendAndCapture(const std::string& text, bool* sent = nullptr) {
    std::string line;
    std::thread reader([&] { line = pty.receiveLine(); });
    Request request(text);
    const bool ok = channel->sendToChannel(request);
    reader.join();
    if (sent != nullptr) *sent = ok;
    return line;
  }

  PtyPair pty;
  PauseRecorder recorder;
  std::unique_ptr<CommChannel> channel;
};

TEST_F(ChannelOverPty, RequestIsSentAsOneLineWithItsLineFeedsRemoved) {
  // Crosses several 8192-byte writes and the terminal's buffers.
  std::string big, bigOnWire;
  for (int i = 0; i < 20000; ++i) {
    big += "0123\n";
    bigOnWire += "0123";
  }
  bigOnWire += "\n";
  struct Case {
    std::string text;
    std::string onWire;
  };
  const Case cases[] = {
      {"000001|ok", "000001|ok\n"},
      {"", "\n"},
      {"\n\n\n", "\n"},
      {"a\nb\n", "ab\n"},
      {"\nlead|mid\n\ntrail\n", "lead|midtrail\n"},
      {"cr\r\nkept\r", "cr\rkept\r\n"},
      {std::string("nul\0byte", 8), std::string("nul\0byte\n", 9)},
      {big, bigOnWire},
      // The last bytes leave with the line feed: a request as long as that
      // tail, one byte longer, and one a whole write piece past it.
      {std::string(4096, 't'), std::string(4096, 't') + "\n"},
      {std::string(4097, 'u'), std::string(4097, 'u') + "\n"},
      {std::string(65536 + 4096, 'v'), std::string(65536 + 4096, 'v') + "\n"},
  };
  for (const Case& c : cases) {
    recorder.clear();
    bool sent = false;
    const std::string line = sendAndCapture(c.text, &sent);
    EXPECT_TRUE(sent) << c.onWire.size() << " bytes";
    if (c.onWire.size() < 100) {
      EXPECT_EQ(line, c.onWire);
    } else {
      EXPECT_TRUE(line == c.onWire) << line.size() << " bytes";
    }
    EXPECT_FALSE(pty.hasPending()) << "more than one line sent";
    // The quiet pause before every send.
    EXPECT_EQ(recorder.pauses(), std::vector<long>{10});
  }
}

TEST_F(ChannelOverPty, SendDiscardsStaleInputBeforeTheRequest) {
  pty.send("leftover\n");
  sendAndCapture("000002|q");
  pty.send("000002|a\n");
  Response response(true);
  ASSERT_TRUE(channel->receiveFromChannel(response));
  EXPECT_EQ(response.received, std::vector<std::string>{"000002|a\n"});
}

TEST_F(ChannelOverPty, OpenPutsThePortInRaw8N1WaitingForTheFirstByte) {
  const termios t = peerSettings();
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE), 0u);
  EXPECT_EQ(t.c_iflag & 0x1dfbu, 0u);
  // Output flags stay as read back after the all-zero reset: no LF to CRLF.
  EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 5);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4000000));
  // Programs the application starts do not inherit the device.
  EXPECT_NE(fcntl(currentSerialPort()->fd, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(ChannelOverPty, ReadModeFollowsTheResponseMessage) {
  pty.send("p\n");
  Response polling(false);
  ASSERT_TRUE(channel->receiveFromChannel(polling));
  EXPECT_EQ(peerSettings().c_cc[VMIN], 0);
  EXPECT_EQ(peerSettings().c_cc[VTIME], 0);

  pty.send("b\n");
  Response blocking(true);
  ASSERT_TRUE(channel->receiveFromChannel(blocking));
  EXPECT_EQ(peerSettings().c_cc[VMIN], 1);
  EXPECT_EQ(peerSettings().c_cc[VTIME], 5);
}

TEST_F(ChannelOverPty, AnswerLongerThanOneReadIsJoined) {
  // 10000 bytes cannot come in fewer than three 4096-byte reads.
  std::string answer;
  while (answer.size() < 10000) answer += "000003|08000|piece|";
  answer += "\n";
  std::thread device([&] { pty.send(answer); });
  Response response(true);
  const bool ok = channel->receiveFromChannel(response);
  device.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(response.received, std::vector<std::string>{answer});
  EXPECT_TRUE(recorder.pauses().empty());
}

TEST_F(ChannelOverPty, LinesInOneFillAreDeliveredTogether) {
  // An echo of the request and the answer, arriving in one go.
  const std::string both = "000004|6|code\n000004|10000|Resposta|\n";
  pty.send(both);
  Response response(true);
  ASSERT_TRUE(channel->receiveFromChannel(response));
  EXPECT_EQ(response.received, std::vector<std::string>{both});
}

// The device speaks while the channel pauses after a read that found
// nothing: a polled answer that comes in pieces.
TEST_F(ChannelOverPty, PolledAnswerInPiecesIsJoined) {
  struct Case {
    const char* name;
    std::string first;
    std::string later;
    std::string delivered;
  };
  const Case cases[] = {
      // A piece read before the silence is kept, not dropped.
      {"piece kept", "000005|par", "tial|\n", "000005|partial|\n"},
      // A lone line feed waits for the line after it and stays in front.
      {"lone line feed", "\n", "000005|ok\n", "\n000005|ok\n"},
      {"lone line feed then a piece", "\n000", "005|ok\n", "\n000005|ok\n"},
  };
  for (const Case& c : cases) {
    recorder.clear();
    recorder.onPause([&](int n) {
      if (n == 1) pty.send(c.later);
    });
    pty.send(c.first);
    Response response(false);
    EXPECT_TRUE(channel->receiveFromChannel(response)) << c.name;
    EXPECT_EQ(response.received, std::vector<std::string>{c.delivered}) << c.name;
    EXPECT_EQ(recorder.pauses(), std::vector<long>{100}) << c.name;
  }
}

TEST_F(ChannelOverPty, PollingGivesUpAfterThirtyFailedReads) {
  const std::string cases[] = {"", "000006|no line feed"};
  for (const std::string& pending : cases) {
    recorder.clear();
    pty.send(pending);
    Response response(false);
    errno = 0;
    EXPECT_FALSE(channel->receiveFromChannel(response)) << pending;
    EXPECT_EQ(errno, ECONNRESET) << pending;
    EXPECT_TRUE(response.received.empty()) << pending;
    EXPECT_EQ(recorder.pauses(), std::vector<long>(29, 100)) << pending;
    EXPECT_TRUE(channel->isChannelOpened()) << pending;
  }
}

TEST_F(ChannelOverPty, BlockingReadWaitsForTheDevice) {
  if (!commtest::canSeeBlockedSyscalls()) GTEST_SKIP() << "kernel does not show blocked calls";
  std::atomic<pid_t> reader{0};
  Response response(true);
  bool ok = false;
  std::thread host([&] {
    reader = commtest::currentThreadId();
    ok = channel->receiveFromChannel(response);
  });
  while (reader == 0) std::this_thread::yield();
  // Answer only once the channel is asleep, waiting.
  EXPECT_TRUE(commtest::waitUntilBlockedIn(reader, kWaitCall, nullptr));
  pty.send("000007|late\n");
  host.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(response.received, std::vector<std::string>{"000007|late\n"});
  EXPECT_TRUE(recorder.pauses().empty());
}

TEST_F(ChannelOverPty, AnswerSizeIsCapped) {
  struct Case {
    size_t size;  // line feed included
    bool accepted;
  };
  // No pause on the way: a long answer is progress, not silence.
  const Case cases[] = {
      {MiB, true},
      {2 * MiB, true},
      {2 * MiB + 1, false},
  };
  for (const Case& c : cases) {
    recorder.clear();
    std::string answer(c.size - 1, 'a');
    answer += '\n';
    std::thread device([&] { pty.send(answer); });
    Response response(true);
    const bool ok = channel->receiveFromChannel(response);
    device.join();
    EXPECT_EQ(ok, c.accepted) << c.size;
    EXPECT_TRUE(recorder.pauses().empty()) << c.size;
    if (c.accepted) {
      ASSERT_EQ(response.received.size(), 1u);
      EXPECT_EQ(response.received[0].size(), c.size);
    } else {
      EXPECT_TRUE(response.received.empty());
    }
  }
}

// A device that never stops sending lines that are not the answer: the
// deadline is looked at before every read, not only when the device falls
// silent. The first handover outlasts the deadline while most of the flood
// is still waiting in the terminal; the channel must stop there rather than
// read on until the terminal runs dry.
TEST_F(ChannelOverPty, LinesThatAreNotTheAnswerDoNotOutlastTheDeadline) {
  struct NeverAnswered : ICommReceiveMessage {
    void pushReceivedMessage(std::string&) override {
      if (++handovers == 1) std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    bool blockingRead() const override { return true; }
    bool answerPending() const override { return true; }
    int handovers = 0;
  };
  struct Deadline20ms {
    Deadline20ms() { setAnswerTimeout(std::chrono::milliseconds(20)); }
    ~Deadline20ms() { setAnswerTimeout(std::chrono::nanoseconds(0)); }
  } deadline;
  // As many lines as the terminal holds: several times what one read of
  // it returns.
  const std::string line = "000091|08000|SAT em operação||\n";
  const int flags = fcntl(pty.master, F_GETFL);
  fcntl(pty.master, F_SETFL, flags | O_NONBLOCK);
  size_t queued = 0;
  while (write(pty.master, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
    queued += line.size();
  fcntl(pty.master, F_SETFL, flags);
  ASSERT_GT(queued, 8192u);
  NeverAnswered response;
  Log::noteReason(Log::Reason());
  EXPECT_FALSE(channel->receiveFromChannel(response));
  EXPECT_EQ(response.handovers, 1);
  EXPECT_EQ(Log::notedReason().kind, Log::ReasonKind::TimedOut)
      << Log::renderReason(Log::notedReason());
}

// The device hangs up: whether the read or the read mode meets it first
// (the terminal refuses its settings with EIO), it is a lost link.
TEST_F(ChannelOverPty, HangUpIsALostLinkWhereverItIsMet) {
  pty.hangUp();
  // Polling, then blocking: the first switch of the read mode meets the
  // hang-up, the read after it too.
  for (const bool blocking : {false, true}) {
    Response response(blocking);
    Log::noteReason(Log::Reason());
    EXPECT_FALSE(channel->receiveFromChannel(response)) << blocking;
    std::printf("[comm] after the hang-up (%s): %s\n", blocking ? "blocking" : "polling",
                Log::renderReason(Log::notedReason()).c_str());
    EXPECT_EQ(Log::notedReason().kind, Log::ReasonKind::HungUp)
        << blocking << ": " << Log::renderReason(Log::notedReason());
    EXPECT_EQ(Log::renderReason(Log::notedReason()).rfind("conexão perdida: a leitura de ", 0), 0u)
        << Log::renderReason(Log::notedReason());
  }
}

TEST_F(ChannelOverPty, WriteFailureClosesThePort) {
  StderrCapture captured;
  pty.hangUp();
  Request request("000008|x");
  EXPECT_FALSE(channel->sendToChannel(request));
  EXPECT_EQ(captured.text(), "\nFailed to write on file. error: 5,  [Input/output error]\n");
  EXPECT_FALSE(channel->isChannelOpened());
  EXPECT_EQ(recorder.pauses(), (std::vector<long>{10, 10}));
}

TEST_F(ChannelOverPty, ClosedChannelRefusesExchangesAtOnce) {
  channel->closeChannel();
  EXPECT_FALSE(channel->isChannelOpened());
  recorder.clear();
  Response response(true);
  EXPECT_FALSE(channel->receiveFromChannel(response));
  EXPECT_TRUE(recorder.pauses().empty());

  StderrCapture captured;
  Request request("000009|x");
  EXPECT_FALSE(channel->sendToChannel(request));
  EXPECT_EQ(captured.text(), "\nFailed to write on file. error: 9,  [Bad file descriptor]\n");
}

TEST_F(ChannelOverPty, ANewChannelClosesThePortOfTheOldOne) {
  const int oldFd = currentSerialPort()->fd;
  ASSERT_GT(oldFd, 0);
  auto replacement = std::make_unique<CommChannel>(pty.slavePath);
  EXPECT_EQ(fcntl(oldFd, F_GETFD), -1);
  EXPECT_FALSE(replacement->isChannelOpened());
  EXPECT_FALSE(channel->isChannelOpened());  // channels share the current port

  // As a reconnection does it: release the old channel, then open.
  channel.reset();
  ASSERT_TRUE(replacement->openChannel());
  EXPECT_TRUE(replacement->isChannelOpened());
}

TEST_F(ChannelOverPty, ReopeningDoesNotLeakTheOpenDescriptor) {
  const int before = currentSerialPort()->fd;
  ASSERT_TRUE(channel->openChannel());
  EXPECT_EQ(currentSerialPort()->fd, before);  // the old number was freed and reused
}

struct ThrowingRequest : ICommSendMessage {
  std::string pullMessageToSend() const override { throw std::runtime_error("no line"); }
};

struct ThrowingResponse : ICommReceiveMessage {
  void pushReceivedMessage(std::string&) override { throw std::runtime_error("refused"); }
  bool blockingRead() const override { return true; }
};

TEST_F(ChannelOverPty, MessagesThatThrowFailTheExchangeOnly) {
  ThrowingRequest request;
  EXPECT_FALSE(channel->sendToChannel(request));
  pty.send("000010|ok\n");
  ThrowingResponse response;
  EXPECT_FALSE(channel->receiveFromChannel(response));
  EXPECT_TRUE(channel->isChannelOpened());
}

// Signals that interrupt the wait for room to write must not be taken for
// a broken link.
int interruptions = 0;
void countInterruption(int) { __atomic_add_fetch(&interruptions, 1, __ATOMIC_SEQ_CST); }

// Over a named pipe rather than a terminal: a full pipe stays full until
// someone reads it, whereas a terminal moves bytes between its buffers on
// its own and may wake the writer before the signal lands.
TEST(InterruptedWrite, IsRetriedNotTakenForABrokenLink) {
  if (!commtest::canSeeBlockedSyscalls()) GTEST_SKIP() << "kernel does not show blocked calls";
  char dir[] = "/tmp/comm_fifo_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/port";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  struct sigaction action {};
  action.sa_handler = countInterruption;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  __atomic_store_n(&interruptions, 0, __ATOMIC_SEQ_CST);

  PauseRecorder recorder;
  StderrCapture captured;
  CommChannel channel(fifo);
  ASSERT_TRUE(channel.openChannel());  // no terminal, but open
  const std::string opening = captured.text();

  const std::string text(MiB, 'r');  // far more than the pipe holds
  std::atomic<pid_t> writer{0};
  std::atomic<bool> finished{false};
  bool sent = false;
  std::thread host([&] {
    writer = commtest::currentThreadId();
    Request request(text);
    sent = channel.sendToChannel(request);
    finished = true;
  });
  while (writer == 0) std::this_thread::yield();
  // Nobody reads, so the writer waits for room in a full pipe; the signals
  // interrupt that wait.
  int signalled = 0;
  while (signalled < 2 && commtest::waitUntilBlockedIn(writer, kWaitCall, &finished)) {
    pthread_kill(host.native_handle(), SIGUSR1);
    ++signalled;
    while (__atomic_load_n(&interruptions, __ATOMIC_SEQ_CST) < signalled) std::this_thread::yield();
  }
  EXPECT_EQ(signalled, 2) << "the send stopped before it was interrupted twice";
  std::string received;
  // Not blocking on open (the channel may have closed its end); blocking reads.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  fcntl(reader, F_SETFL, 0);
  char chunk[65536];
  while (received.size() < text.size() + 1) {
    const ssize_t n = read(reader, chunk, sizeof chunk);
    if (n <= 0) break;
    received.append(chunk, static_cast<size_t>(n));
  }
  host.join();
  close(reader);
  sigaction(SIGUSR1, &previous, nullptr);
  const bool stillOpen = channel.isChannelOpened();
  channel.closeChannel();
  unlink(fifo.c_str());
  rmdir(dir);

  EXPECT_TRUE(sent);
  EXPECT_EQ(received.size(), text.size() + 1);
  EXPECT_TRUE(received == text + "\n");
  EXPECT_EQ(captured.text(), opening) << "the write reported a failure";
  EXPECT_TRUE(stillOpen);
}

class OpeningChannel : public ::testing::Test {
 protected:
  PauseRecorder recorder;
};

TEST_F(OpeningChannel, ReportsWhatGoesWrongAndAlwaysPausesOneSecond) {
  PtyPair pty;
  struct Case {
    std::string path;
    bool opened;
    std::string diagnostic;
    std::vector<long> pauses;
  };
  const Case cases[] = {
      // Settle after opening, then a quiet pause before the final flush.
      {pty.slavePath, true, "", {1000, 10}},
      {"/nonexistent/ttyACM9", false,
       "SerialPort::portOpen: Unable to open device /nonexistent/ttyACM9 (No such file or "
       "directory)\n",
       {1000}},
      // Opens, but is no terminal: stays open with what it has.
      {"/dev/null", true,
       "SerialPort::setParameters: Failed to read port settings /dev/null (Inappropriate ioctl "
       "for device)\n",
       {1000}},
  };
  for (const Case& c : cases) {
    recorder.clear();
    StderrCapture captured;
    CommChannel channel(c.path);
    EXPECT_EQ(channel.openChannel(), c.opened) << c.path;
    EXPECT_EQ(channel.isChannelOpened(), c.opened) << c.path;
    EXPECT_EQ(captured.text(), c.diagnostic) << c.path;
    EXPECT_EQ(recorder.pauses(), c.pauses) << c.path;
  }
}

// An application that closed its standard input gets descriptor 0 for the
// port: a port like any other.
TEST_F(OpeningChannel, DescriptorZeroIsAPortLikeAnyOther) {
  PtyPair pty;
  if (pty.master == 0 || pty.peerSlave == 0) GTEST_SKIP() << "standard input was closed";
  StderrCapture captured;
  const int savedStdin = dup(0);  // -1 when standard input was closed already
  close(0);
  bool opened = false, stillOpen = false;
  std::vector<std::string> received;
  {
    CommChannel channel(pty.slavePath);
    opened = channel.openChannel();  // the lowest free descriptor is 0
    std::thread device([&] {
      pty.receiveLine();
      pty.send("000001|ok\n");
    });
    Request request("000001|q");
    Response response(true);
    const ExchangeOutcome outcome = channel.exchange(request, response);
    device.join();
    EXPECT_EQ(outcome, ExchangeOutcome::Answered);
    received = response.received;
    stillOpen = channel.isChannelOpened();
  }
  const bool zeroStillOpen = fcntl(0, F_GETFD) != -1;
  if (savedStdin >= 0) {
    dup2(savedStdin, 0);
    close(savedStdin);
  }
  EXPECT_TRUE(opened);
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(received, std::vector<std::string>{"000001|ok\n"});
  EXPECT_FALSE(zeroStillOpen) << "closing the channel leaks descriptor 0";
  EXPECT_EQ(captured.text(), "");
}

}  // namespace
}  // namespace Comm
}  // namespace Tivaxlib
