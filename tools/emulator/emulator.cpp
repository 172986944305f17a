// SPDX-License-Identifier: MIT
#include "emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "line_framer.h"
#include "pseudo_terminal.h"
#include "request_line.h"
#include "sat_device.h"
#include "transmission.h"

namespace tivaxemu {

namespace {

using SteadyClock = std::chrono::steady_clock;

const std::size_t kReadChunk = 64 * 1024;

DeviceSettings deviceSettings(const Options& options) {
  DeviceSettings settings;
  settings.activationCode = options.activationCode;
  settings.emergencyCode = options.emergencyCode;
  settings.statePath = options.statePath;
  // The built-in device never locks itself unless asked to: tests and
  // demos try wrong codes on purpose.
  settings.maxWrongCodes =
      options.maxWrongCodes > 0 ? options.maxWrongCodes : options.statePath.empty() ? 0 : 3;
  return settings;
}

}  // namespace

const NamedFault kNamedFaults[14] = {
    {kEcho, "eco", "eco", kEchoSessions},
    {kCrLf, "crlf", "CR LF", kCrLfSessions},
    {kSplit, "pedacos", "em pedaços", kSplitSessions},
    {kDelay, "atraso", "atraso", kDelaySessions},
    {kSilence, "silencio", "silêncio", kSilenceSessions},
    {kHangUp, "desligamento", "desligamento", kHangUpSessions},
    {kGarbage, "lixo", "lixo", kGarbageSessions},
    {kOversize, "enorme", "resposta de 3 MiB", kOversizeSessions},
    {kOtherSession, "outra-sessao", "outra sessão", kOtherSessionSessions},
    {kEchoThenSilence, "eco-silencio", "eco e silêncio", kEchoThenSilenceSessions},
    {kEchoLarge, "eco-grande", "eco e resposta grande", kEchoLargeSessions},
    {kLateAnswer, "retida", "retida até o pedido seguinte", kLateAnswerSessions},
    {kBlankLine, "lf-antes", "LF sozinho antes", kBlankLineSessions},
    {kBlankCrLf, "crlf-antes", "CR LF sozinho antes", kBlankCrLfSessions},
};

Faults faultsForSession(std::int32_t session) {
  for (const NamedFault& f : kNamedFaults)
    if (session >= f.sessions && session - f.sessions < kFaultRangeSize) return f.fault;
  return kNoFault;
}

bool parseCountedFault(const std::string& text, CountedFault& counted, std::string& error) {
  const std::size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  counted = CountedFault{kNoFault, 1};
  for (const NamedFault& f : kNamedFaults)
    if (name == f.name) counted.fault = f.fault;
  if (counted.fault == kNoFault) {
    error = "tipo de falha desconhecido: \"" + name + "\"; os tipos são";
    for (const NamedFault& f : kNamedFaults) error += std::string(" ") + f.name;
    return false;
  }
  if (colon != std::string::npos &&
      (!parseInt(text.substr(colon + 1), counted.count) || counted.count < 1)) {
    error = "número de chamadas inválido em \"" + text + "\" (use TIPO:N, com N de 1 em diante)";
    return false;
  }
  return true;
}

struct Emulator::Impl {
  explicit Impl(Options o)
      : options(std::move(o)),
        device(deviceSettings(options), options.clock),
        framer(options.maxRequestBytes) {
    nextFaults = options.nextFaults;
  }

  void serve();
  // False when the terminal fails to read.
  bool readRequests(int master);
  void answer(const LineFramer::Line& line);
  void tell(Traffic traffic, const std::string& line, Faults faults) const;
  void promoteDuePiece(SteadyClock::time_point now);
  void writeOutput(int master);
  void dropOutput();
  bool outputPending() const { return written < writing.size() || !queue.empty(); }
  void hangUp();
  int timeoutMs(SteadyClock::time_point now) const;

  const Options options;

  // Shared with the callers of the public interface.
  mutable std::mutex mutex;
  SatDevice device;
  std::uint64_t requests = 0;
  std::string last;
  std::uint64_t hangUpCount = 0;
  std::string currentPath;
  std::vector<CountedFault> nextFaults;  // the counts left

  // The serving thread's own (and stop()'s once it has joined).
  std::unique_ptr<PseudoTerminal> terminal;
  LineFramer framer;
  Xorshift random{0x9e3779b9u};
  struct Scheduled {
    SteadyClock::time_point due;
    Piece piece;
  };
  std::vector<char> buffer = std::vector<char>(kReadChunk);
  std::deque<Scheduled> queue;
  std::string writing;  // the piece on its way out
  std::string late;     // an answer held back until the next request arrives
  std::size_t written = 0;
  bool hangUpAfterWriting = false;

  int wakeRead = -1;
  int wakeWrite = -1;
  std::atomic<bool> stopping{false};
  std::thread thread;
  bool running = false;
};

void Emulator::Impl::serve() {
  while (!stopping.load()) {
    promoteDuePiece(SteadyClock::now());
    const int master = terminal ? terminal->master() : -1;
    pollfd fds[2] = {{wakeRead, POLLIN, 0}, {master, POLLIN, 0}};
    if (written < writing.size()) fds[1].events |= POLLOUT;
    const int ready = poll(fds, master >= 0 ? 2 : 1, timeoutMs(SteadyClock::now()));
    if (ready < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wakeRead, drain, sizeof drain) > 0) {
      }
    }
    if (stopping.load()) break;
    const bool readable = master >= 0 && (fds[1].revents & POLLIN);
    const bool broken = master >= 0 && (fds[1].revents & (POLLHUP | POLLERR));
    if ((readable && !readRequests(master)) || (broken && !readable)) {
      // Not expected while the emulator holds the terminal side open; do
      // not spin if the system says so anyway.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    promoteDuePiece(SteadyClock::now());
    if (terminal) writeOutput(terminal->master());
  }
}

int Emulator::Impl::timeoutMs(SteadyClock::time_point now) const {
  if (written < writing.size() || queue.empty()) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(queue.front().due - now);
  return wait.count() < 0 ? 0 : static_cast<int>(wait.count());
}

bool Emulator::Impl::readRequests(int master) {
  std::vector<LineFramer::Line> lines;
  for (;;) {
    const ssize_t got = ::read(master, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return true;
    if (got <= 0) return false;
    // A new request makes whatever is left of an earlier answer stale: the
    // library has given up on it (and flushed its input before sending).
    if (outputPending()) dropOutput();
    framer.push(buffer.data(), static_cast<std::size_t>(got), lines);
    for (const LineFramer::Line& line : lines) answer(line);
    lines.clear();
    if (static_cast<std::size_t>(got) < buffer.size()) return true;
  }
}

void Emulator::Impl::tell(Traffic traffic, const std::string& line, Faults faults) const {
  if (!options.observer) return;
  try {
    options.observer(traffic, line, faults);
  } catch (...) {
    // A report that could not be made does not stop the device.
  }
}

void Emulator::Impl::answer(const LineFramer::Line& line) {
  tell(Traffic::Request, line.text, kNoFault);
  SatDevice::Answer reply;
  Faults faults = options.faults;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++requests;
    last = line.text;
    reply = device.handle(line.text, line.truncated);
    if (!reply.answered) return;
    // Each counted fault takes this answer off its count.
    for (CountedFault& next : nextFaults) {
      faults |= next.fault;
      --next.count;
    }
    nextFaults.erase(std::remove_if(nextFaults.begin(), nextFaults.end(),
                                    [](const CountedFault& next) { return next.count <= 0; }),
                     nextFaults.end());
  }
  faults |= faultsForSession(reply.session);
  tell(Traffic::Answer, reply.line, faults);
  if (!reply.note.empty()) tell(Traffic::Reason, reply.note, kNoFault);
  std::vector<Piece> pieces =
      shapeAnswer(line.text, reply.line, reply.session, faults, options, random);
  // An answer held back goes out now, in the middle of the next exchange.
  std::string released = std::move(late);
  late.clear();
  if (faults & kLateAnswer) {
    for (const Piece& piece : pieces) late += piece.bytes;
    pieces.clear();
  }
  if (!released.empty()) {
    if (!pieces.empty()) pieces.front().after += options.splitPause;
    pieces.insert(pieces.begin(), Piece{std::chrono::milliseconds(0), std::move(released), false});
  }
  SteadyClock::time_point due = SteadyClock::now();
  if (!queue.empty() && queue.back().due > due) due = queue.back().due;
  for (Piece& piece : pieces) {
    due += piece.after;
    queue.push_back(Scheduled{due, std::move(piece)});
  }
}

void Emulator::Impl::promoteDuePiece(SteadyClock::time_point now) {
  if (written < writing.size() || queue.empty() || queue.front().due > now) return;
  writing = std::move(queue.front().piece.bytes);
  hangUpAfterWriting = queue.front().piece.hangUpAfter;
  written = 0;
  queue.pop_front();
  if (writing.empty() && hangUpAfterWriting) hangUp();
}

void Emulator::Impl::writeOutput(int master) {
  while (written < writing.size()) {
    const ssize_t put = ::write(master, writing.data() + written, writing.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) return;  // the terminal is full: wait for POLLOUT
    if (put <= 0) {
      dropOutput();
      return;
    }
    written += static_cast<std::size_t>(put);
    if (written < writing.size()) continue;
    // This piece is out: hang up after it, or go on with the next one if
    // it is already due.
    if (hangUpAfterWriting) {
      hangUp();
      return;
    }
    writing.clear();
    written = 0;
    promoteDuePiece(SteadyClock::now());
  }
}

void Emulator::Impl::dropOutput() {
  queue.clear();
  writing.clear();
  written = 0;
  hangUpAfterWriting = false;
}

// Closes the terminal as an unplugged device would. The new terminal is
// opened, and the link pointed at it, before the old one is closed, so that
// the library finds the new port as soon as it notices the hang-up.
void Emulator::Impl::hangUp() {
  std::string error;
  std::unique_ptr<PseudoTerminal> fresh = PseudoTerminal::open(error);
  if (!fresh)
    std::fprintf(stderr, "tivax-emulator: cannot open a new terminal: %s\n", error.c_str());
  else if (!options.linkPath.empty() && !pointLinkAt(options.linkPath, fresh->path(), error))
    std::fprintf(stderr, "tivax-emulator: cannot update %s: %s\n", options.linkPath.c_str(),
                 error.c_str());
  std::unique_ptr<PseudoTerminal> old = std::move(terminal);
  terminal = std::move(fresh);
  {
    std::lock_guard<std::mutex> lock(mutex);
    currentPath = terminal ? terminal->path() : std::string();
    ++hangUpCount;
  }
  old.reset();
  framer.reset();
  dropOutput();
  late.clear();
}

Emulator::Emulator(Options options) : impl(new Impl(std::move(options))) {}

Emulator::~Emulator() { stop(); }

bool Emulator::start(std::string* error) {
  Impl& d = *impl;
  if (d.running) return true;
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    bool opened = d.device.open(reason);
    for (const std::string& change : d.options.outsideChanges) {
      std::string outcome;
      if (opened && !d.device.control(change, outcome)) {
        reason = outcome;
        opened = false;
      }
    }
    if (!opened) {
      if (error) *error = reason;
      return false;
    }
  }
  d.terminal = PseudoTerminal::open(reason);
  if (d.terminal && !d.options.linkPath.empty() &&
      !pointLinkAt(d.options.linkPath, d.terminal->path(), reason))
    d.terminal.reset();
  int wake[2];
  if (d.terminal && pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    reason = "pipe2 failed";
    d.terminal.reset();
  }
  if (!d.terminal) {
    if (error) *error = reason;
    return false;
  }
  d.wakeRead = wake[0];
  d.wakeWrite = wake[1];
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.currentPath = d.terminal->path();
  }
  d.stopping.store(false);
  d.thread = std::thread([&d] { d.serve(); });
  d.running = true;
  return true;
}

void Emulator::stop() {
  Impl& d = *impl;
  if (!d.running) return;
  d.stopping.store(true);
  const char wake = 'x';
  while (::write(d.wakeWrite, &wake, 1) < 0 && errno == EINTR) {
  }
  d.thread.join();
  if (!d.options.linkPath.empty()) removeLink(d.options.linkPath, terminalPath());
  d.terminal.reset();
  d.dropOutput();
  d.framer.reset();
  ::close(d.wakeRead);
  ::close(d.wakeWrite);
  d.wakeRead = d.wakeWrite = -1;
  d.running = false;
}

std::string Emulator::terminalPath() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->currentPath;
}

std::string Emulator::portPath() const {
  return impl->options.linkPath.empty() ? terminalPath() : impl->options.linkPath;
}

std::uint64_t Emulator::requestCount() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->requests;
}

std::string Emulator::lastRequest() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->last;
}

std::uint64_t Emulator::hangUps() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->hangUpCount;
}

std::string Emulator::activationCode() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->device.activationCode();
}

bool Emulator::blocked() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return impl->device.blocked();
}

bool Emulator::control(const std::string& command, std::string& outcome) {
  std::lock_guard<std::mutex> lock(impl->mutex);
  if (command == "falha" || command.compare(0, 6, "falha ") == 0) {
    const std::string argument = command.size() > 6 ? command.substr(6) : std::string();
    CountedFault counted;
    if (!parseCountedFault(argument, counted, outcome)) return false;
    impl->nextFaults.push_back(counted);
    const std::string name = argument.substr(0, argument.find(':'));
    outcome = "falha " + name + (counted.count == 1 ? " na próxima chamada"
                                                    : " nas próximas " + std::to_string(counted.count) +
                                                          " chamadas");
    return true;
  }
  return impl->device.control(command, outcome);
}

std::string Emulator::stateJson() const {
  std::lock_guard<std::mutex> lock(impl->mutex);
  return tivaxemu::stateJson(impl->device.deviceState(), true);
}

void Emulator::resetDevice() {
  std::lock_guard<std::mutex> lock(impl->mutex);
  impl->device = SatDevice(deviceSettings(impl->options), impl->options.clock);
  std::string ignored;
  impl->device.open(ignored);
}

}  // namespace tivaxemu
