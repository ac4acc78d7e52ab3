// The Python face of the real-time opt-in: the environment is read when the
// first precision timer starts, so a program may set it from Python first, and
// a malformed value reaches the caller as ValueError before any thread exists.
#pragma once

namespace drovik::timer {

// Before the first precision timer starts: reads DROVIK_RT_PRIORITY,
// DROVIK_RT_CPUS and DROVIK_RT_MLOCK once for the process. A malformed value
// raises ValueError naming it, and is read again at the next start.
void settle_realtime_environment();

}  // namespace drovik::timer
