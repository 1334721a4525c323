// Following a flash: what its process tells, taken in line by line and
// checked against the flash so far (a block in turn, the final one once every
// other was accepted, one answer). It decides nothing and sends nothing: any
// front end can follow a flash so, the one that owns it (Flash.h) or one that
// only watches it. A line that does not fit the flash is said so, never
// guessed at: the follower then takes the process for lost.
#pragma once

#include <string>

#include "channel/FlashChannel.h"
#include "record/FlashOutcome.h"

class FlashFollower {
public:
    // What a line told.
    enum class News {
        Nothing,     // nothing to show: a cause, kept for the answer it explains
        Block,       // the drive accepted one more block (BlocksAccepted)
        FinalGoing,  // the final block goes to the drive now
        Answered,    // the drive answered its last command of this flash (Outcome)
        Said,        // a line for the user's standard error (the event's text)
        Released,    // the process let the drive go
        Unfit,       // the line does not fit the flash: its process is not to be believed
    };

    explicit FlashFollower(int blocks) : blocks_(blocks) { outcome_.blocks = blocks; }
    // A flash found under way: followed from where it stands.
    explicit FlashFollower(const FlashSnapshot &now)
        : blocks_(now.count), accepted_(now.accepted), finalOut_(now.finalOut) {
        outcome_.blocks = now.count;
    }

    News Take(const TransferEvent &event);
    // The process ended (`how`): before the drive's answer, the flash was cut
    // off at the block in the drive then.
    void ProcessEnded(const std::string &how);

    int Blocks() const { return blocks_; }
    int BlocksAccepted() const { return accepted_; }
    bool FinalOut() const { return finalOut_; }
    bool Released() const { return released_; }
    // Pending until the drive has answered (or the process ended first).
    const FlashOutcome &Outcome() const { return outcome_; }

private:
    int blocks_;
    int accepted_ = 0;
    bool finalOut_ = false;
    bool released_ = false;
    TransferEvent cause_;  // the cause line of the answer to come
    FlashOutcome outcome_;
};
