// SPDX-License-Identifier: MIT
#include "comm/pause.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace Tivaxlib {
namespace Comm {

namespace {

// Sleeps the whole interval even when signals interrupt it: the pauses give
// the device time to settle, so cutting one short is not an option.
void sleepFor(long milliseconds) {
  if (milliseconds <= 0) return;
  timespec remaining{};
  remaining.tv_sec = milliseconds / 1000;
  remaining.tv_nsec = (milliseconds % 1000) * 1000000L;
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::atomic<PauseHook> pauseHook{nullptr};

}  // namespace

void pause_ms(long milliseconds) {
  if (runPauseHook(milliseconds)) return;
  // Callers report errno after pausing (a failed read leaves ECONNRESET).
  const int savedErrno = errno;
  sleepFor(milliseconds);
  errno = savedErrno;
}

bool runPauseHook(long milliseconds) {
  const PauseHook hook = pauseHook.load(std::memory_order_acquire);
  if (hook == nullptr) return false;
  const int savedErrno = errno;
  hook(milliseconds);
  errno = savedErrno;
  return true;
}

PauseHook setPauseHook(PauseHook hook) {
  return pauseHook.exchange(hook, std::memory_order_acq_rel);
}

}  // namespace Comm
}  // namespace Tivaxlib
