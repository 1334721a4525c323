// Following a flash; see FlashFollower.h.
#include "flash/FlashFollower.h"

FlashFollower::News FlashFollower::Take(const TransferEvent &event) {
    const bool answered = outcome_.Answered();
    const bool ours = event.count == blocks_;
    switch (event.word) {
    case TransferWord::Say: return News::Said;
    case TransferWord::Released:
        released_ = true;
        // Released before the drive's answer: the process cut its own flash.
        return answered ? News::Released : News::Unfit;
    case TransferWord::Block:
        if (!ours || answered || finalOut_ || event.block != accepted_ + 1) return News::Unfit;
        accepted_ = event.block;
        return News::Block;
    case TransferWord::Final:
        if (!ours || answered || finalOut_ || accepted_ != blocks_ - 1) return News::Unfit;
        finalOut_ = true;
        return News::FinalGoing;
    case TransferWord::Accepted:
        if (!ours || answered || !finalOut_) return News::Unfit;
        outcome_ = OutcomeOfAnswer(event, cause_);
        accepted_ = blocks_;
        return News::Answered;
    case TransferWord::Cause:
        if (answered || cause_.word == TransferWord::Cause) return News::Unfit;
        cause_ = event;
        return News::Nothing;
    case TransferWord::Refused: {
        if (!ours || answered) return News::Unfit;
        const FlashOutcome told = OutcomeOfAnswer(event, cause_);
        // The final block, refused or gone; or, before it, the block after
        // the last accepted (0: the transfer could not start).
        const bool final = finalOut_ && event.block == blocks_;
        const bool early = !finalOut_ && (event.block == accepted_ + 1 || (event.block == 0 && accepted_ == 0));
        if (!final && !early) return News::Unfit;
        outcome_ = told;
        return News::Answered;
    }
    default: return News::Unfit;  // the start's words come once, before the flash
    }
}

void FlashFollower::ProcessEnded(const std::string &how) {
    if (outcome_.Answered()) return;
    outcome_ = FlashOutcome{};
    outcome_.ending = FlashEnding::CutOff;
    // The block in the drive then: the one after the last accepted, the
    // final one once it went out.
    outcome_.block = finalOut_ ? blocks_ : accepted_ + 1;
    outcome_.blocks = blocks_;
    outcome_.why = how;
}
