// The progress bar's rule: it measures time, not data. Each tick of Timer1
// shows TimerTicks * 100 / D with D = BlockCount * BlockCount / 3 + 3, all in
// signed 32-bit arithmetic, each division dropping its remainder.
#pragma once

#include <cstdint>

// D for a block count (0..255 from the trailer; at least 3 there).
int32_t ProgressDivisor(int32_t blockCount);
// The bar position for the tick that sees `timerTicks` (before it is raised).
int32_t ProgressPosition(int32_t timerTicks, int32_t blockCount);

// The bar of a flash the window found under way, which it did not start: the
// blocks the drive accepted, `accepted` * 100 / `blocks`; once the final block
// is in the drive, its share (what the blocks before it leave to 100) filled
// by the rule above, at most 100.
int32_t FollowedProgressPosition(int32_t accepted, int32_t blocks, bool finalOut, int32_t timerTicks);
