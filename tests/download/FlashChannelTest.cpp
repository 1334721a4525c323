// The channel between a flash's process and its front end: each line as
// docs/ARCHITECTURE.md writes it, and every damaged, cut or unknown line
// read as nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/FlashChannel.h"

TEST(FlashChannel, EveryLineIsWrittenAsDocumented) {
    const auto event = [](TransferWord word, int block, int count, std::string text = {}) {
        return EncodeTransferEvent(EventOf(word, block, count, std::move(text)));
    };
    EXPECT_EQ(event(TransferWord::Hello, 0, 0), "quorvel-transfer 3");
    EXPECT_EQ(event(TransferWord::Held, 0, 0), "held");
    EXPECT_EQ(event(TransferWord::Busy, 0, 0), "busy");
    EXPECT_EQ(event(TransferWord::Busy, 0, 0, "mounted at /media/a\\b"), "busy mounted at /media/a\\\\b");
    TransferEvent cause = EventOf(TransferWord::Cause, 0, 0, "The drive said: X.\nUSB.");
    cause.cause = FailureKind::Refused;
    EXPECT_EQ(EncodeTransferEvent(cause), "cause refused The drive said: X.\\nUSB.");
    ASSERT_TRUE(DecodeTransferEvent("cause refused The drive said: X.\\nUSB."));
    EXPECT_EQ(DecodeTransferEvent("cause refused The drive said: X.\\nUSB.")->text, cause.text);
    EXPECT_EQ(DecodeTransferEvent("cause gone")->cause, FailureKind::Gone);
    EXPECT_FALSE(DecodeTransferEvent("cause none")) << "a cause is never none";
    EXPECT_EQ(DecodeTransferEvent("busy a disc")->text, "a disc");
    EXPECT_EQ(event(TransferWord::Unguarded, 0, 0, "a pipe\\ at /run\n"), "unguarded a pipe\\\\ at /run\\n");
    EXPECT_EQ(event(TransferWord::Block, 3, 7), "block 3 7");
    EXPECT_EQ(event(TransferWord::Final, 0, 7), "final 7");
    EXPECT_EQ(event(TransferWord::Accepted, 7, 7), "accepted 7");
    EXPECT_EQ(event(TransferWord::Refused, 3, 7), "refused 3 7");
    EXPECT_EQ(event(TransferWord::Say, 0, 0, std::string("tab\there\x01\x7f", 10)), "say tab\\there\\x01\\x7f");
    // A line feed in a text is never a line of its own: what follows it is
    // no word of the channel.
    ChannelLines said;
    said.Add(event(TransferWord::Say, 0, 0, "one\naccepted 7") + "\n");
    const std::optional<std::string> one = said.Next();
    ASSERT_TRUE(one);
    EXPECT_FALSE(said.Next());
    ASSERT_TRUE(DecodeTransferEvent(*one));
    EXPECT_EQ(DecodeTransferEvent(*one)->text, "one\naccepted 7");
    EXPECT_EQ(event(TransferWord::Released, 0, 0), "released");
    // Where a flash stands, for a follower: blocks accepted, all, the final
    // one out, since when, its starter and whether it is there, the restart
    // it wants, and its blocks' KiB.
    TransferEvent now = EventOf(TransferWord::Snapshot);
    now.snapshot = {2, 7, true, 1796721267000, 4242, false, true, 60};
    EXPECT_EQ(EncodeTransferEvent(now), "snapshot 2 7 1 1796721267000 4242 gone restart 60");
    const std::optional<TransferEvent> seen = DecodeTransferEvent("snapshot 2 7 0 1796721267000 4242 present no-restart 48");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->word, TransferWord::Snapshot);
    EXPECT_EQ(seen->snapshot.accepted, 2);
    EXPECT_EQ(seen->snapshot.count, 7);
    EXPECT_FALSE(seen->snapshot.finalOut);
    EXPECT_EQ(seen->snapshot.since, 1796721267000);
    EXPECT_EQ(seen->snapshot.starterPid, 4242);
    EXPECT_TRUE(seen->snapshot.starterPresent);
    EXPECT_FALSE(seen->snapshot.restartWanted);
    EXPECT_EQ(seen->snapshot.blockKb, 48);

    FrontEndMessage flash;
    flash.word = FrontEndWord::Flash;
    flash.adapter = 1;
    flash.target = 3;
    flash.size = 393216;
    flash.blockKb = 60;
    flash.blocks = 7;
    EXPECT_EQ(EncodeFrontEndMessage(flash), "flash 1 3 393216 60 7");
    FrontEndMessage record;
    record.word = FrontEndWord::Record;
    record.text = "{\"file\":\"A\nB.BIN\"}";
    EXPECT_EQ(EncodeFrontEndMessage(record), "record {\"file\":\"A\\nB.BIN\"}");
    const std::optional<FrontEndMessage> back = DecodeFrontEndMessage("record {\"file\":\"A\\nB.BIN\"}");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->text, record.text);
    for (const auto &[word, line] : std::vector<std::pair<FrontEndWord, std::string>>{
             {FrontEndWord::Start, "start"},
             {FrontEndWord::RestartRequested, "restart requested"},
             {FrontEndWord::RestartAccepted, "restart accepted"},
             {FrontEndWord::RestartRefused, "restart refused"},
             {FrontEndWord::RestartWithheld, "restart withheld"},
             {FrontEndWord::Release, "release"}}) {
        FrontEndMessage message;
        message.word = word;
        EXPECT_EQ(EncodeFrontEndMessage(message), line);
        ASSERT_TRUE(DecodeFrontEndMessage(line)) << line;
        EXPECT_EQ(DecodeFrontEndMessage(line)->word, word) << line;
    }
}

TEST(FlashChannel, ADamagedOrUnknownLineIsReadAsNothing) {
    for (const char *line : {
             "", "HELD", "held now", "quorvel-transfer 2", "quorvel-transfer 4", "quorvel-transfer 3 ", "quorvel-transfer",
             "block 0 7",      // blocks count from 1
             "block 7 7",      // the final block is told by accepted
             "block 8 7", "block 3 0", "block 3", "block 3 7 ", "block  3 7", "block 03 7", "block -1 7",
             "block +3 7", "block 3 7x", "block 99999999999999 7", "final", "final 0", "final 7 7",
             "accepted", "accepted 0", "refused 8 7", "refused 3", "released 1", "busy ",
             "say \\q", "say \\x4", "say \\x4G", "say ends in \\", "say raw\ttab", "say raw\x7f",
             "unguarded \\", "declined \\xzz", "cause", "cause broken", "cause refused ", "cause refused \\q",
             "busy \\q",
             // A snapshot without its blocks' KiB, or with too many words.
             "snapshot 2 7 0 1796721267000 4242 gone restart", "snapshot 2 7 0 1 4242 gone restart 60 1",
             "snapshot 2 7 0 1 4242 gone restart 256", "snapshot 2 7 2 1 4242 gone restart 60"}) {
        EXPECT_FALSE(DecodeTransferEvent(line)) << '"' << line << '"';
    }
    for (const char *line : {"", "flash 1 3 393216 60", "flash 1 3 393216 60 7 8", "flash 256 3 393216 60 7",
                             "flash 1 3 393216 256 7", "flash 1 3 -5 60 7", "record \\", "restart", "restart now",
                             "release 1", "start ", "quorvel-transfer 1"}) {
        EXPECT_FALSE(DecodeFrontEndMessage(line)) << '"' << line << '"';
    }
    // The edges that are good.
    ASSERT_TRUE(DecodeTransferEvent("refused 0 7"));
    EXPECT_EQ(DecodeTransferEvent("refused 0 7")->block, 0);
    ASSERT_TRUE(DecodeTransferEvent("block 6 7"));
    EXPECT_EQ(DecodeTransferEvent("say ")->text, "");
    EXPECT_EQ(DecodeTransferEvent("say a \\\\x41 \\x41\\n")->text, "a \\x41 A\n");
}

TEST(FlashChannel, LinesAreCutWhereverTheBytesArriveAndAnOverlongOneDamagesTheChannel) {
    ChannelLines lines;
    lines.Add("quorvel-transfer 3\nhe");
    EXPECT_EQ(lines.Next(), "quorvel-transfer 3");
    EXPECT_FALSE(lines.Next()) << "a line is whole only with its line feed";
    EXPECT_TRUE(lines.Partial());
    lines.Add("ld\nblock 1 7\n");
    EXPECT_EQ(lines.Next(), "held");
    EXPECT_EQ(lines.Next(), "block 1 7");
    EXPECT_FALSE(lines.Partial());

    ChannelLines overlong;
    overlong.Add(std::string(kChannelLineLimit + 1, 'a'));
    EXPECT_FALSE(overlong.Next());
    EXPECT_TRUE(overlong.Damaged());
    overlong.Add("\nheld\n");
    EXPECT_FALSE(overlong.Next()) << "nothing after the damage is read";
    ChannelLines overlongWhole;  // its line feed in the same read
    overlongWhole.Add(std::string(kChannelLineLimit + 1, 'a') + "\nheld\n");
    EXPECT_FALSE(overlongWhole.Next());
    EXPECT_TRUE(overlongWhole.Damaged());

    ChannelLines zero;
    zero.Add(std::string("held\n\0block 1 7\n", 16));
    EXPECT_FALSE(zero.Next());
    EXPECT_TRUE(zero.Damaged());

    ChannelLines longest;
    longest.Add(std::string(kChannelLineLimit, 'b') + "\n");
    EXPECT_EQ(longest.Next(), std::string(kChannelLineLimit, 'b'));
}
