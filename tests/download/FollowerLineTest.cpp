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

// The lines in order, from a follower standing so; the adopter's flag set
// before `adoptedAt` (the process adopts, never a line).
void Expect(const std::vector<Said> &lines, size_t adoptedAt = 99) {
    FollowerStanding standing;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == adoptedAt) standing.adopter = true;
        const FollowerVerdict verdict = JudgeFollowerLine(&standing, lines[i].line);
        EXPECT_EQ(verdict.act, lines[i].act) << "line " << i << ": " << lines[i].line;
        EXPECT_EQ(verdict.why, lines[i].why) << "line " << i << ": " << lines[i].line;
    }
}
}  // namespace

TEST(FollowerLine, AFollowerSaysItsHelloThenWatchesAndOnlyItsAdopterSpeaksOfTheEnd) {
    Expect({{"quorvel-transfer 3", FollowerAct::Greet}, {"watch", FollowerAct::Watch}});
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"watch", FollowerAct::Watch},
            {"restart requested", FollowerAct::OwnerWord},
            {"restart accepted", FollowerAct::OwnerWord},
            {"release", FollowerAct::OwnerWord},
            {"restart refused", FollowerAct::Drop, "it spoke of the restart after its release"}},
           2);
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"watch", FollowerAct::Watch},
            {"restart withheld", FollowerAct::OwnerWord},
            {"release", FollowerAct::OwnerWord},
            {"release", FollowerAct::Drop, "it said release twice"}},
           2);
    FollowerStanding standing;
    ASSERT_EQ(JudgeFollowerLine(&standing, "quorvel-transfer 3").act, FollowerAct::Greet);
    standing.adopter = true;
    const FollowerVerdict word = JudgeFollowerLine(&standing, "restart requested");
    EXPECT_EQ(word.word, FrontEndWord::RestartRequested);
    EXPECT_EQ(JudgeFollowerLine(&standing, "release").word, FrontEndWord::Release);
}

TEST(FollowerLine, AnythingElseHasTheFollowerLetGoWithWhy) {
    // Another version, or no hello at all.
    Expect({{"quorvel-transfer 2", FollowerAct::Drop, "its first line is not this channel's (\"quorvel-transfer 2\")"}});
    Expect({{"watch", FollowerAct::Drop, "its first line is not this channel's (\"watch\")"}});
    // A follower only reads: never a start, a release, a second hello.
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"start", FollowerAct::Drop, "a follower only reads, and it said \"start\""}});
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"release", FollowerAct::Drop, "a follower only reads, and it said \"release\""}});
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"watch", FollowerAct::Watch},
            {"watch", FollowerAct::Drop, "it said watch twice"}});
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"frob\x01", FollowerAct::Drop, "it said what this channel does not carry (\"frob\\x01\")"}});
    // Its adopter never starts the flash, nor gives it figures or wishes.
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"watch", FollowerAct::Watch},
            {"start", FollowerAct::Drop, "the flash's new owner said what only its starter may (\"start\")"}},
           2);
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"flash 0 1 393216 60 7", FollowerAct::Drop,
             "the flash's new owner said what only its starter may (\"flash 0 1 393216 60 7\")"}},
           1);
    Expect({{"quorvel-transfer 3", FollowerAct::Greet},
            {"restart wanted", FollowerAct::Drop,
             "the flash's new owner said what only its starter may (\"restart wanted\")"}},
           1);
    // A long line is shown cut.
    const std::string longLine(100, 'x');
    FollowerStanding standing;
    EXPECT_EQ(JudgeFollowerLine(&standing, longLine).why,
              "its first line is not this channel's (\"" + std::string(40, 'x') + "...\")");
}

TEST(FollowerLine, MoreLinesThanAFollowerEverNeedsIsAFlood) {
    FollowerStanding standing;
    standing.adopter = true;
    ASSERT_EQ(JudgeFollowerLine(&standing, "quorvel-transfer 3").act, FollowerAct::Greet);
    ASSERT_EQ(JudgeFollowerLine(&standing, "watch").act, FollowerAct::Watch);
    // The restart's words repeat (asked, then answered), up to eight lines
    // in all.
    for (int i = 3; i <= 8; ++i) ASSERT_EQ(JudgeFollowerLine(&standing, "restart requested").act, FollowerAct::OwnerWord);
    const FollowerVerdict ninth = JudgeFollowerLine(&standing, "restart requested");
    EXPECT_EQ(ninth.act, FollowerAct::Drop);
    EXPECT_EQ(ninth.why, "it said more than a follower ever needs (8 lines)");
    EXPECT_EQ(DamagedFollowerLines(), "its lines were damaged (a line over 16 KiB, or a zero byte)");
}
