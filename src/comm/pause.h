// SPDX-License-Identifier: MIT
// The link's fixed delays (after opening, around writes and closes, between
// failed reads) all go through pause_ms, so that a test can count them or
// make them instant instead of sleeping through them.
#pragma once

namespace Tivaxlib {
namespace Comm {

using PauseHook = void (*)(long milliseconds);

// Waits for the given number of milliseconds (nothing for zero or less).
void pause_ms(long milliseconds);

// Runs the installed hook for a pause of `milliseconds` and returns true;
// false, doing nothing, when pauses are real. For pauses that sleep in a
// wait of their own (an interruptible one) rather than in pause_ms.
bool runPauseHook(long milliseconds);

// Routes every later pause to `hook`; nullptr restores the real sleep.
// Returns the hook that was in place. Meant for tests and benchmarks.
PauseHook setPauseHook(PauseHook hook);

}  // namespace Comm
}  // namespace Tivaxlib
