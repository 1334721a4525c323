#include "drive/Presence.h"

#include "platform/Pause.h"
#include "platform/wnaspi32.h"

namespace {
constexpr auto kAskAgainAfter = std::chrono::milliseconds(250);
constexpr uint32_t kInquiryLength = 36;

// An identification field as the record writes it.
std::string FieldText(const uint8_t *bytes, size_t length) {
    std::string text(reinterpret_cast<const char *>(bytes), length);
    if (const size_t zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}
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
    return FieldText(inquiry + 8, 8) == vendor && FieldText(inquiry + 16, 16) == model;
}

bool StillTheDrive(uint8_t adapter, uint8_t target, const std::string &vendor, const std::string &model) {
    uint8_t answer[kInquiryLength] = {};
    return ExecuteScsiCommandAnswered(adapter, target, InquiryCommand, 6, answer, kInquiryLength).status == SS_COMP &&
           AnswersAsTheDrive(answer, vendor, model);
}
