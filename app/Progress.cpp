#include "app/Progress.h"

namespace {
// 32-bit products that wrap as the machine's do, instead of being undefined.
int32_t Multiply32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
}  // namespace

int32_t ProgressDivisor(int32_t blockCount) { return Multiply32(blockCount, blockCount) / 3 + 3; }

int32_t ProgressPosition(int32_t timerTicks, int32_t blockCount) {
    const int32_t divisor = ProgressDivisor(blockCount);
    // A square modulo 2^32 is never -9..-11, so the divisor is never 0; keep
    // the guard all the same.
    if (divisor == 0) return 100;
    return Multiply32(timerTicks, 100) / divisor;
}

int32_t FollowedProgressPosition(int32_t accepted, int32_t blocks, bool finalOut, int32_t timerTicks) {
    if (blocks <= 0) return 0;
    if (!finalOut) return accepted * 100 / blocks;
    const int32_t before = (blocks - 1) * 100 / blocks;
    const int32_t byTime = ProgressPosition(timerTicks, blocks);
    if (byTime >= 100) return 100;
    return before + (byTime < 0 ? 0 : byTime) * (100 - before) / 100;
}
