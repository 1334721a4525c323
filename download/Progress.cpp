#include "download/Progress.h"

#include "download/Download.h"
#include "platform/win32.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

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

void ProgressTick() {
    // Progress: moves by elapsed time until the bar is full.
    if (MainForm->BarPosition() < 100) {
        int32_t position = ProgressPosition(TimerTicks, BlockCount);
        // The bar ignores values outside its range; hold them at its ends so
        // that it always shows where the count stands.
        if (position > 100) position = 100;
        if (position < 0) position = 0;
        MainForm->SetBarPosition(position);
        TimerTicks = static_cast<int32_t>(static_cast<uint32_t>(TimerTicks) + 1u);
    }
    // Restart: once the user has closed the result message, unless the
    // flash withholds it.
    if (BusyFlag.load(std::memory_order_acquire) == 0) {
        MainForm->StopProgressTimer();
        RequestRestartAfterFlash(WindowFlashFrontEnd());
    }
}
