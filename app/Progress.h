// The progress bar's rule: it measures time, not data. Each tick of Timer1
// shows TimerTicks * 100 / D with D = BlockCount * BlockCount / 3 + 3, all in
// signed 32-bit arithmetic, each division dropping its remainder.
#pragma once

#include <cstdint>

// D for a block count (0..255 from the trailer; at least 3 there).
int32_t ProgressDivisor(int32_t blockCount);
// The bar position for the tick that sees `timerTicks` (before it is raised).
int32_t ProgressPosition(int32_t timerTicks, int32_t blockCount);
