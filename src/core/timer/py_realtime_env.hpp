#pragma once

namespace drovik::timer {

// Before the first precision timer starts: reads DROVIK_RT_PRIORITY,
// DROVIK_RT_CPUS and DROVIK_RT_MLOCK once for the process. A malformed value
// raises ValueError naming it, and is read again at the next start.
void settle_realtime_environment();

}  // namespace drovik::timer
