// The flash's process's worker: the inhibitors awaited, the record's started
// line, every block of the plan sent to the drive, and the drive's answer
// (Failed: the cause of a block it did not take). Transfer.cpp says the
// session's stages.
#include "transfer/Transfer.h"
#include "transfer/TransferSession.h"

#include <chrono>
#include <cstring>

namespace {
constexpr char kInhibitReason[] = "QUORVEL is writing new firmware into a CD/DVD drive";
constexpr auto kInhibitorAnswerWait = std::chrono::milliseconds(250);
}  // namespace

ScsiAnswer SendImageBlock(const uint8_t *image, const BlockStep &step, uint8_t adapter, uint8_t target) {
    std::memcpy(TransferBuffer, image + step.offset, static_cast<size_t>(step.length));
    DownloadCommand[5] = step.byte5;
    return ExecuteScsiCommandAnswered(adapter, target, DownloadCommand, 12, TransferBuffer, kDownloadTransferLength);
}

void TransferSession::Start() {
    stage_ = Stage::Writing;
    inhibitor_ = HoldOffShutdown(kInhibitReason, [this](const std::string &line) { Say(line); });
    worker_ = CreateThread(nullptr, 0, Worker, this, 0, nullptr);
    if (worker_ == nullptr) {
        // Nothing was sent: the flash ends before its first block.
        outcome_.ending = FlashEnding::Refused;
        outcome_.blocks = static_cast<int>(plan_.steps.size());
        Answered();
    }
}

DWORD TransferSession::Worker(void *session) {
    static_cast<TransferSession *>(session)->SendBlocks();
    return 0;
}

void TransferSession::SendBlocks() {
    // The inhibitors are asked without waiting; logind and the portal answer
    // within milliseconds, and the first block waits that long, so that they
    // are in force before the drive is written. One that does not answer
    // holds the flash up no longer than this.
    AwaitAnswers(inhibitor_.get(), kInhibitorAnswerWait);
    // The record knows the flash from its first block: should it never end
    // (its process killed, the power lost), the flash is told as cut off.
    FlashRecord started = record_;
    started.pid = ProcessId();
    RecordFlashEvent(started, RecordEvent::Started, 0, {}, [this](const std::string &line) { Say(line); });
    const std::vector<BlockStep> &steps = plan_.steps;
    const int count = static_cast<int>(steps.size());
    bool early = false;
    for (int i = 0; i + 1 < count; ++i) {
        const ScsiAnswer sent = SendImageBlock(image_.Bytes(), steps[static_cast<size_t>(i)], adapter_, target_);
        if (sent.status != SS_COMP) {
            outcome_ = Failed(i + 1, count, sent);
            early = true;
            break;
        }
        Send(EventOf(TransferWord::Block, i + 1, count));
    }
    if (!early) {
        // The final block: from here a restart finishes the update, or is due
        // after a refusal all the same (not once the drive has gone).
        Send(EventOf(TransferWord::Final, 0, count));
        restartWasDue_ = true;
        const ScsiAnswer sent = SendImageBlock(image_.Bytes(), steps.back(), adapter_, target_);
        if (sent.status == SS_COMP) {
            outcome_.ending = FlashEnding::Accepted;
            outcome_.block = outcome_.blocks = count;
            RecordDriveAnswer(record_, outcome_, {}, {}, [this](const std::string &said) { Say(said); });
        } else {
            outcome_ = Failed(count, count, sent);
        }
    }
    RunOnUserInterfaceThread([this] { Answered(); });
}

// A block the drive did not take: why, decided from what the manager filled
// in (and, where the drive gave no word of its own, from whether it is still
// there), recorded with the drive's sense, and told to the front end with
// the drive's answer.
FlashOutcome TransferSession::Failed(int block, int count, const ScsiAnswer &answer) {
    const FailureCause cause = CauseOfFailedCommand(answer, adapter_, target_);
    FlashOutcome outcome;
    outcome.ending = cause.kind == FailureKind::Gone ? FlashEnding::Gone : FlashEnding::Refused;
    outcome.block = block;
    outcome.blocks = count;
    outcome.cause = cause.kind;
    outcome.told = TellFailure(cause, transport_, block == 1);
    if (outcome.ending == FlashEnding::Gone) restartWasDue_ = false;
    RecordDriveAnswer(record_, outcome, SayFailureCause(cause), cause.senseHex,
                      [this](const std::string &said) { Say(said); });
    return outcome;
}
