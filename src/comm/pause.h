// The link's fixed delays (after opening, around writes and closes, between
// failed reads) all go through pause_ms, so that a test can count them or
// make them instant instead of sleeping through them.
#pragma once

namespace Tivaxlib {
namespace Comm {

using PauseHook = void (*)(long milliseconds);

// Waits for the given number of milliseconds (nothing for zero or less).
void pause_ms(long milliseconds);

// Routes every later pause to `hook`; nullptr restores the real sleep.
// Returns the hook that was in place. Meant for tests and benchmarks.
PauseHook setPauseHook(PauseHook hook);

}  // namespace Comm
}  // namespace Tivaxlib
