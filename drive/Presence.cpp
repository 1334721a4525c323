#include "drive/Presence.h"

#include "platform/Pause.h"

namespace {
constexpr auto kAskAgainAfter = std::chrono::milliseconds(250);
constexpr uint32_t kInquiryLength = 36;
}  // namespace

Presence AskWhetherThere(uint8_t adapter, uint8_t target, std::chrono::milliseconds within) {
    const auto first = std::chrono::steady_clock::now();
    uint8_t answer[kInquiryLength];
    for (;;) {
        const Presence presence = DecidePresence(
            ExecuteScsiCommandAnswered(adapter, target, InquiryCommand, 6, answer, kInquiryLength));
        if (presence != Presence::Unsure || std::chrono::steady_clock::now() - first >= within) return presence;
        PauseThisThread(kAskAgainAfter);
    }
}

FailureCause CauseOfFailedCommand(const ScsiAnswer &answer, uint8_t adapter, uint8_t target) {
    FailureCause cause = DecideFailureCause(answer);
    if (AsksWhetherGone(cause) && AskWhetherThere(adapter, target) == Presence::Gone) cause.kind = FailureKind::Gone;
    return cause;
}
