// How a flash to a drive ended: one value, decided once where it was seen (the
// flash's process: the drive's answer and why a command failed; the front
// end: a process that ended before the drive had answered; a write's checks:
// nothing sent), carried typed over the channel, to both front ends, the
// record and the JSON, and worded only where people read it
// (channel/FlashTexts).
#pragma once

#include <string>

#include "drive/FailureCause.h"

enum class FlashEnding {
    Pending,     // the drive has not answered yet
    Accepted,    // the drive took every block
    Refused,     // the drive refused block `block` of `blocks` (the final one too; 0: the transfer
                 // could not be started, nothing was sent)
    Gone,        // the drive went away at block `block`: nothing more was sent, and no restart follows
    CutOff,      // the flash's process ended at block `block`, before the drive had answered
    NotWritten,  // nothing was sent to the drive: it was refused before its flash (`why`)
};

struct FlashOutcome {
    FlashEnding ending = FlashEnding::Pending;
    int block = 0;   // Accepted: every block
    int blocks = 0;
    // Refused, Gone: why the drive's last command failed, as the flash's
    // process decided it (DecideFailureCause), and what the user is told of
    // it, a line or two: the drive's sense in words, the USB advice; empty
    // when nothing more is known than that the command failed.
    FailureKind cause = FailureKind::None;
    std::string told;
    // NotWritten: why nothing was sent; CutOff: how the process ended.
    std::string why;

    bool Answered() const { return ending != FlashEnding::Pending; }
    // Whether anything reached the drive.
    bool SentSomething() const {
        return ending != FlashEnding::Pending && ending != FlashEnding::NotWritten &&
               !(ending == FlashEnding::Refused && block == 0);
    }
};
