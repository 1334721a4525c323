// What a follower of a flash may say, as a plain rule: the flash's process
// reads each line of each follower through it (Followers.h). A follower says
// its hello, then "watch" if it watches to the end; the one that adopted the
// flash, its starter gone, says what its starter would of the flash's end
// (the restart's words, release), once each. Anything else, a line of
// another version, one over the limit or a zero byte, or more lines than a
// follower ever needs, has it let go: it never reaches the flash.
#pragma once

#include <string>
#include <string_view>

#include "channel/FlashChannel.h"

// No follower needs more lines than this in its whole life: hello, watch,
// and as adopter the restart's words and release.
constexpr int kFollowerLinesMost = 8;

// A follower as its lines so far have made it.
struct FollowerStanding {
    bool greeted = false;   // it said its hello
    bool watching = false;  // it watches to the end: it may adopt the flash
    bool adopter = false;   // it owns the flash's end (the process decides it, never a line)
    bool released = false;  // as adopter, it said release
    int lines = 0;          // lines read from it
};

enum class FollowerAct {
    Greet,      // its hello: told where the flash stands, then every event
    Watch,      // it watches to the end, and may adopt the flash
    OwnerWord,  // the adopter's word, read as the starter's (`word`)
    Drop,       // it is let go, `why` saying why
};

struct FollowerVerdict {
    FollowerAct act = FollowerAct::Drop;
    FrontEndWord word = FrontEndWord::Hello;  // OwnerWord: which
    std::string why;                          // Drop: why, for a line of the flash's process
};

// The next whole line of a follower (without its line feed), as `standing`
// stands; `standing` is brought up to date. After a Drop nothing more of the
// follower is read.
FollowerVerdict JudgeFollowerLine(FollowerStanding *standing, std::string_view line);
// Why a follower whose bytes damaged its lines is let go.
std::string DamagedFollowerLines();
