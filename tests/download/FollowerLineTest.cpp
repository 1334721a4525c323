// What a follower of a flash may say, line by line, as the flash's process
// reads it: its hello, watch, and (adopted) the restart's words and release,
// once each; anything else has it let go, saying why.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/FollowerLine.h"

namespace {
struct Said {
    const char *line;
    FollowerAct act;
    const char *why = "";  // Drop: why, as the flash's process says it
};

// The lines in order, the follower adopted (by the process, never by a
// line) before line `adoptedAt`.
void Expect(const std::vector<Said> &lines, size_t adoptedAt = 99) {
    FollowerStanding standing;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == adoptedAt) standing.adopter = true;
        const FollowerVerdict verdict = JudgeFollowerLine(&standing, lines[i].line);
        EXPECT_EQ(verdict.act, lines[i].act) << "line " << i << ": " << lines[i].line;
        EXPECT_EQ(verdict.why, lines[i].why) << "line " << i << ": " << lines[i].line;
    }
}
constexpr Said kHello{"quorvel-transfer 3", FollowerAct::Greet};
constexpr Said kWatch{"watch", FollowerAct::Watch};
}  // namespace

TEST(FollowerLine, OnlyItsAdopterSpeaksOfTheEndOnceEachAndNeverStartsIt) {
    Expect({kHello, kWatch, {"restart requested", FollowerAct::OwnerWord}, {"restart accepted", FollowerAct::OwnerWord},
            {"release", FollowerAct::OwnerWord},
            {"restart refused", FollowerAct::Drop, "it spoke of the restart after its release"}},
           2);
    Expect({kHello, kWatch, {"release", FollowerAct::OwnerWord}, {"release", FollowerAct::Drop, "it said release twice"}},
           2);
    Expect({kHello, {"flash 0 1 393216 60 7", FollowerAct::Drop,
                     "the flash's new owner said what only its starter may (\"flash 0 1 393216 60 7\")"}},
           1);
    Expect({kHello, {"start", FollowerAct::Drop, "the flash's new owner said what only its starter may (\"start\")"}}, 1);
    FollowerStanding standing{true, true, true, false, 2};
    EXPECT_EQ(JudgeFollowerLine(&standing, "restart withheld").word, FrontEndWord::RestartWithheld);
}

TEST(FollowerLine, AnythingElseHasTheFollowerLetGoWithWhy) {
    Expect({{"quorvel-transfer 2", FollowerAct::Drop, "its first line is not this channel's (\"quorvel-transfer 2\")"}});
    Expect({kHello, {"release", FollowerAct::Drop, "a follower only reads, and it said \"release\""}});
    Expect({kHello, kWatch, {"watch", FollowerAct::Drop, "it said watch twice"}});
    Expect({kHello, {"frob\x01", FollowerAct::Drop, "it said what this channel does not carry (\"frob\\x01\")"}});
    FollowerStanding standing;
    EXPECT_EQ(JudgeFollowerLine(&standing, std::string(100, 'x')).why,
              "its first line is not this channel's (\"" + std::string(40, 'x') + "...\")");
    // The restart's words repeat (asked, then answered), up to eight lines.
    standing = {true, true, true, false, 2};
    for (int i = 3; i <= 8; ++i) ASSERT_EQ(JudgeFollowerLine(&standing, "restart requested").act, FollowerAct::OwnerWord);
    EXPECT_EQ(JudgeFollowerLine(&standing, "restart requested").why, "it said more than a follower ever needs (8 lines)");
    EXPECT_EQ(DamagedFollowerLines(), "its lines were damaged (a line over 16 KiB, or a zero byte)");
}
