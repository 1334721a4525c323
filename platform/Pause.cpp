#include "platform/Pause.h"

#include <thread>

void PauseThisThread(std::chrono::nanoseconds span) { std::this_thread::sleep_for(span); }

bool AwaitAnswers(const PlatformHold *hold, std::chrono::milliseconds most) {
    constexpr auto kLook = std::chrono::milliseconds(5);
    for (auto waited = std::chrono::milliseconds(0); hold != nullptr && !hold->Answered(); waited += kLook) {
        if (waited >= most) return false;
        PauseThisThread(kLook);
    }
    return true;
}
