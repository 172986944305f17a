// SPDX-License-Identifier: MIT
// The serial channel over a pseudo-terminal, with an in-process peer that
// plays the device and answers at once:
//  - RoundTrip: one short request and its answer. The fixed pauses of the
//    protocol are skipped (and counted), so the time is the library's own
//    overhead; RoundTripRealPauses sleeps them and reports time minus 10 ms.
//  - Request1MiB / Answer1_5MiB: a 1 MiB request and a 1.5 MiB answer,
//    through a plain read/write loop on the same terminal (same piece sizes)
//    and through the channel, interleaved; vs_plain is the channel's share
//    of the plain loop's throughput.
//  - PolledStatusQuery: ConsultarSAT's polled exchange with the real pauses,
//    against a device that answers at once: calls per second.
//  - Exchange1MiBFor1_5MiB: a whole exchange of that size, against a plain
//    blocking write/read loop; vs_plain as above.
//  - RoundTripLogged: RoundTrip with the exchange log written to /dev/null;
//    EventLogOff: what one log event costs a call while the log is off.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/pause.h"
#include "comm/unix_comm_channel.h"
#include "log/trace.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace Tivaxlib::Comm;

constexpr size_t MiB = 1u << 20;
constexpr size_t kRequestSize = MiB;
constexpr size_t kAnswerSize = MiB + MiB / 2;

std::atomic<long> skippedPauseMs{0};
void skipPause(long milliseconds) { skippedPauseMs += milliseconds; }

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

void writeAll(int fd, const char* data, size_t size, size_t piece) {
  while (size > 0) {
    const ssize_t n = write(fd, data, std::min(size, piece));
    if (n < 0) die("write");
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Reads from `fd` until a chunk ends in a line feed (the peers below only
// ever send lines whose sole line feed is the last byte).
size_t readLine(int fd, std::vector<char>& buffer, size_t piece) {
  size_t total = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), std::min(piece, buffer.size()));
    if (n <= 0) die("read");
    total += static_cast<size_t>(n);
    if (buffer[static_cast<size_t>(n) - 1] == '\n') return total;
  }
}

// The terminal, the channel opened on it, and a second descriptor on the
// channel's side for the plain loop (it shares the channel's raw settings).
struct Link {
  Link() {
    setPauseHook(skipPause);
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) die("posix_openpt");
    path = ptsname(master);
    channel = std::make_unique<CommChannel>(path);
    if (!channel->openChannel()) die("openChannel");
    plainSide = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (plainSide < 0) die("open");
  }
  int master = -1;
  int plainSide = -1;
  std::string path;
  std::unique_ptr<CommChannel> channel;
};

Link& link() {
  static Link instance;
  return instance;
}

struct Request : ICommSendMessage {
  explicit Request(std::string t) : text(std::move(t)) {}
  std::string pullMessageToSend() const override { return text; }
  std::string text;
};

// Takes a copy of the answer, as the library's decoders read what they are
// handed, into a string kept across iterations (the plain loop's buffer is
// kept too).
struct Response : ICommReceiveMessage {
  explicit Response(bool blocking = true) : blocking(blocking) {}
  void pushReceivedMessage(std::string& line) override { received().assign(line); }
  bool blockingRead() const override { return blocking; }
  static std::string& received() {
    static std::string kept;
    return kept;
  }
  bool blocking;
};

// A device thread that runs `onTurn` each time it is given a turn and
// reports when the turn is done.
class Device {
 public:
  explicit Device(std::function<void()> onTurn) : onTurn_(std::move(onTurn)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Device() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void give() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++given_;
    cv_.notify_all();
  }
  void awaitDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return done_ == given_; });
  }

 private:
  void run() {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || given_ > done_; });
        if (stop_) return;
      }
      onTurn_();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++done_;
      }
      cv_.notify_all();
    }
  }
  std::function<void()> onTurn_;
  std::mutex mutex_;
  std::condition_variable cv_;
  long given_ = 0;
  long done_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

void roundTrip(benchmark::State& state, bool realPauses) {
  Link& l = link();
  const std::string answer = "000001|10000|Resposta com sucesso.|0|0|0\n";
  std::vector<char> buffer(65536);
  // The device answers as soon as the request line is in.
  Device device([&] {
    readLine(l.master, buffer, buffer.size());
    writeAll(l.master, answer.data(), answer.size(), answer.size());
  });
  Request request("6|000001|12345678");
  std::vector<double> samples;
  if (realPauses) setPauseHook(nullptr);
  for (auto _ : state) {
    const auto start = Clock::now();
    device.give();
    Response response;
    if (!l.channel->sendToChannel(request) || !l.channel->receiveFromChannel(response)) {
      state.SkipWithError("exchange failed");
      break;
    }
    device.awaitDone();
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  setPauseHook(skipPause);
  const double fixedUs = realPauses ? 10000.0 : 0.0;
  state.counters["median_us"] = median(samples);
  state.counters["overhead_us"] = median(samples) - fixedUs;
}

void BM_RoundTrip(benchmark::State& state) { roundTrip(state, false); }
void BM_RoundTripRealPauses(benchmark::State& state) { roundTrip(state, true); }
void BM_RoundTripLogged(benchmark::State& state) {
  Tivaxlib::Log::setTraceTarget("/dev/null");
  roundTrip(state, false);
  Tivaxlib::Log::setTraceTarget(nullptr);
}

// The guard every event of the library stands behind.
void BM_EventLogOff(benchmark::State& state) {
  Tivaxlib::Log::setTraceTarget(nullptr);
  long written = 0;
  for (auto _ : state) {
    if (Tivaxlib::Log::tracing()) {
      Tivaxlib::Log::trace("bench", "never");
      ++written;
    }
    benchmark::DoNotOptimize(written);
  }
}

// Times one transfer; false when it failed.
template <typename Transfer>
bool timed(std::vector<double>& seconds, Transfer transfer) {
  const auto start = Clock::now();
  const bool ok = transfer();
  seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  return ok;
}

// One plain transfer and one channel transfer, in alternating order.
template <typename Plain, typename Channel>
bool interleave(std::vector<double>& plainTimes, Plain plain, std::vector<double>& channelTimes,
                Channel channel, bool& channelFirst) {
  channelFirst = !channelFirst;
  if (channelFirst && !timed(channelTimes, channel)) return false;
  timed(plainTimes, plain);
  return channelFirst || timed(channelTimes, channel);
}

// Each iteration moves the payload once through the plain loop and once
// through the channel, back to back, so that both see the same machine
// load; the figures are medians over the iterations.
void reportRates(benchmark::State& state, size_t bytes, const std::vector<double>& plain,
                 const std::vector<double>& channel) {
  const double plainRate = bytes / median(plain) / 1e6;
  const double channelRate = bytes / median(channel) / 1e6;
  state.counters["plain_MB/s"] = plainRate;
  state.counters["channel_MB/s"] = channelRate;
  state.counters["vs_plain"] = channelRate / plainRate;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes * 2));
}

void BM_Request1MiB(benchmark::State& state) {
  Link& l = link();
  Request request(std::string(kRequestSize, 'r'));
  const std::string line = request.text + '\n';
  std::vector<char> buffer(65536);
  Device device([&] { readLine(l.master, buffer, buffer.size()); });
  const auto plainTurn = [&] {
    device.give();
    writeAll(l.plainSide, line.data(), line.size(), 8192);
    device.awaitDone();
    return true;
  };
  const auto channelTurn = [&] {
    device.give();
    const bool sent = l.channel->sendToChannel(request);
    device.awaitDone();
    return sent;
  };
  std::vector<double> plain, channel;
  bool channelFirst = false;
  for (auto _ : state) {
    if (!interleave(plain, plainTurn, channel, channelTurn, channelFirst)) {
      state.SkipWithError("send failed");
      break;
    }
  }
  reportRates(state, line.size(), plain, channel);
}

void BM_Answer1_5MiB(benchmark::State& state) {
  Link& l = link();
  std::string answer(kAnswerSize - 1, 'a');
  answer += '\n';
  std::vector<char> buffer(4096);
  Device device([&] { writeAll(l.master, answer.data(), answer.size(), answer.size()); });
  const auto plainTurn = [&] {
    device.give();
    readLine(l.plainSide, buffer, buffer.size());
    device.awaitDone();
    return true;
  };
  const auto channelTurn = [&] {
    device.give();
    Response response;
    const bool received =
        l.channel->receiveFromChannel(response) && Response::received().size() == answer.size();
    device.awaitDone();
    return received;
  };
  std::vector<double> plain, channel;
  bool channelFirst = false;
  const long pausesBefore = skippedPauseMs;
  for (auto _ : state) {
    if (!interleave(plain, plainTurn, channel, channelTurn, channelFirst)) {
      state.SkipWithError("receive failed");
      break;
    }
  }
  reportRates(state, answer.size(), plain, channel);
  // Pauses asked for while reading (none: a long answer is progress).
  state.counters["skipped_pause_ms"] = benchmark::Counter(
      static_cast<double>(skippedPauseMs - pausesBefore), benchmark::Counter::kAvgIterations);
}

// The status query, polled as ConsultarSAT is, against a device that
// answers at once, with the link's real pauses: the 10 ms quiet pause
// before the send, and the pauses between polls (which end as soon as the
// answer is there).
void BM_PolledStatusQuery(benchmark::State& state) {
  Link& l = link();
  const std::string answer = "000001|08000|SAT em operação||\n";
  std::vector<char> buffer(65536);
  Device device([&] {
    readLine(l.master, buffer, buffer.size());
    writeAll(l.master, answer.data(), answer.size(), answer.size());
  });
  Request request("4|000001");
  setPauseHook(nullptr);
  long calls = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    device.give();
    Response response(false);
    if (l.channel->exchange(request, response) != ExchangeOutcome::Answered) {
      state.SkipWithError("exchange failed");
      break;
    }
    device.awaitDone();
    ++calls;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  setPauseHook(skipPause);
  state.counters["calls_per_s"] = calls / seconds;
  state.counters["beyond_quiet_pause_ms"] = seconds / calls * 1000.0 - 10.0;
}

// A 1 MiB request and its 1.5 MiB answer: through a plain blocking loop on
// the same terminal (64 KiB writes, 64 KiB reads) and through the channel's
// exchange, interleaved; the fixed pauses are skipped.
void BM_Exchange1MiBFor1_5MiB(benchmark::State& state) {
  Link& l = link();
  Request request(std::string(kRequestSize, 'r'));
  const std::string line = request.text + '\n';
  std::string answer(kAnswerSize - 1, 'a');
  answer += '\n';
  std::vector<char> deviceBuffer(65536), plainBuffer(65536);
  Device device([&] {
    readLine(l.master, deviceBuffer, deviceBuffer.size());
    writeAll(l.master, answer.data(), answer.size(), answer.size());
  });
  const auto plainTurn = [&] {
    device.give();
    writeAll(l.plainSide, line.data(), line.size(), 65536);
    readLine(l.plainSide, plainBuffer, plainBuffer.size());
    device.awaitDone();
    return true;
  };
  const auto channelTurn = [&] {
    device.give();
    Response response;
    const bool ok = l.channel->exchange(request, response) == ExchangeOutcome::Answered &&
                    Response::received().size() == answer.size();
    device.awaitDone();
    return ok;
  };
  std::vector<double> plain, channel;
  bool channelFirst = false;
  for (auto _ : state) {
    if (!interleave(plain, plainTurn, channel, channelTurn, channelFirst)) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  reportRates(state, line.size() + answer.size(), plain, channel);
}

BENCHMARK(BM_RoundTrip)->UseRealTime();
BENCHMARK(BM_PolledStatusQuery)->UseRealTime()->Iterations(60);
BENCHMARK(BM_Exchange1MiBFor1_5MiB)->UseRealTime()->Iterations(20);
BENCHMARK(BM_RoundTripRealPauses)->UseRealTime()->Iterations(100);
BENCHMARK(BM_RoundTripLogged)->UseRealTime();
BENCHMARK(BM_EventLogOff);
BENCHMARK(BM_Request1MiB)->UseRealTime();
BENCHMARK(BM_Answer1_5MiB)->UseRealTime();

}  // namespace
