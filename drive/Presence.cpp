#include "drive/Presence.h"

#include "drive/Drive.h"
#include "platform/Pause.h"
#include "platform/wnaspi32.h"

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

bool AnswersAsTheDrive(const uint8_t *inquiry, const std::string &vendor, const std::string &model) {
    // Read as the front end read the drive it chose, whose record names it.
    const DriveIdentity identity =
        DriveIdentity::FromBytes(std::string_view(reinterpret_cast<const char *>(inquiry) + 8, DriveIdentity::kLength));
    return FieldText(identity.vendor) == vendor && FieldText(identity.product) == model;
}

bool StillTheDrive(uint8_t adapter, uint8_t target, const std::string &vendor, const std::string &model) {
    uint8_t answer[kInquiryLength] = {};
    return ExecuteScsiCommandAnswered(adapter, target, InquiryCommand, 6, answer, kInquiryLength).status == SS_COMP &&
           AnswersAsTheDrive(answer, vendor, model);
}
