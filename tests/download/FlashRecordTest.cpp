// The record of flashes: its line, read back, damaged and foreign lines, an
// unwritable folder, two writers at once; and the rule that decides, after a
// restart, whether a flash took.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "record/FlashHistory.h"
#include "record/FlashRecord.h"

namespace {
FlashRecord Sample() {
    FlashRecord r;
    r.time = "2026-12-07T16:20:01Z";
    r.boot = "0bcc456f-a362-4e66-9e6e-f21a95a9d60e";
    r.flash = "2026-12-07T16:20:01Z-4711-1";
    r.program = "quorvel";
    r.event = RecordEvent::Refused;
    r.vendor = "QUORVEL";
    r.model = "CDRW-4824A";
    r.revision = "1.10";
    r.adapter = 0;
    r.target = 1;
    r.file = "FW4824.BIN";
    r.size = 393216;
    r.sha256 = "4298bb5e4244a75f9c0af0cfe7d9f545bf584d246b8531d42b6e42bb2794d3c5";
    r.version = "1.20";
    r.block = 3;
    r.blocks = 7;
    r.detail = "";
    return r;
}

// The line as quorvel(1) documents it.
const char kSampleLine[] =
    R"({"adapter":0,"block":3,"blocks":7,"boot":"0bcc456f-a362-4e66-9e6e-f21a95a9d60e","detail":"",)"
    R"("event":"refused","file":"FW4824.BIN","flash":"2026-12-07T16:20:01Z-4711-1","model":"CDRW-4824A",)"
    R"("program":"quorvel","quorvel-record":1,"revision":"1.10",)"
    R"("sha256":"4298bb5e4244a75f9c0af0cfe7d9f545bf584d246b8531d42b6e42bb2794d3c5","size":393216,"target":1,)"
    R"("time":"2026-12-07T16:20:01Z","vendor":"QUORVEL","version":"1.20"})";

std::vector<std::string> Said;
void Say(const std::string &line) { Said.push_back(line); }

std::string RecordFolder() { return std::string(std::getenv("XDG_STATE_HOME")) + "/quorvel"; }
}  // namespace

TEST(FlashRecord, ALineAsDocumentedAndReadBack) {
    EXPECT_EQ(EncodeRecord(Sample()), kSampleLine);
    FlashRecord back;
    ASSERT_TRUE(DecodeRecord(kSampleLine, &back));
    EXPECT_EQ(back.event, RecordEvent::Refused);
    EXPECT_EQ(back.vendor, "QUORVEL");
    EXPECT_EQ(back.model, "CDRW-4824A");
    EXPECT_EQ(back.size, 393216);
    EXPECT_EQ(back.block, 3);
    EXPECT_EQ(back.blocks, 7);
    EXPECT_EQ(back.target, 1);
    EXPECT_EQ(EncodeRecord(back), kSampleLine);

    // Damaged, foreign, or of an unknown event: not the record's.
    const std::string line = kSampleLine;
    for (const std::string &bad : {line.substr(0, line.size() / 2), std::string(R"({"event":"accepted"})"),
                                   std::string("not json"), std::string("[1,2]"),
                                   [&] { std::string s = line; s.replace(s.find("refused"), 7, "exploded"); return s; }(),
                                   [&] { std::string s = line; s.replace(s.find("\"size\":393216"), 13, "\"size\":\"big\""); return s; }(),
                                   // sizes no file has, which no integer holds
                                   [&] { std::string s = line; s.replace(s.find("\"size\":393216"), 13, "\"size\":1e19"); return s; }(),
                                   [&] { std::string s = line; s.replace(s.find("\"size\":393216"), 13, "\"size\":-1"); return s; }(),
                                   [&] { std::string s = line; s.replace(s.find("quorvel-record\":1"), 17, "quorvel-record\":2"); return s; }()})
        EXPECT_FALSE(DecodeRecord(bad, &back)) << bad;
}

TEST(FlashRecord, DamagedAndForeignLinesAreSkippedAndToldOneEach) {
    ASSERT_EQ(system(("mkdir -p " + RecordFolder()).c_str()), 0);
    std::ofstream(FlashRecordPath()) << kSampleLine << "\n{\"quorvel-record\":1,\"event\"\n"
                                     << "hello\n" << kSampleLine << "\n" << std::string(kSampleLine).substr(0, 40);
    Said.clear();
    const std::vector<FlashRecord> records = ReadFlashRecords(Say);
    EXPECT_EQ(records.size(), 2u);
    ASSERT_EQ(Said.size(), 3u) << "one line each: 2, 3 and the cut-off 5";
    EXPECT_EQ(Said[0], FlashRecordPath() + ":2: not a line of the record; skipped.");
    EXPECT_EQ(Said[2], FlashRecordPath() + ":5: not a line of the record; skipped.");
}

TEST(FlashRecord, AnUnwritableFolderIsToldOnceAndNothingElseChanges) {
    // The state folder's place is taken by a file: no folder can be made.
    const std::string state = std::getenv("XDG_STATE_HOME");
    std::ofstream(state + "/quorvel") << "a file";
    Said.clear();
    AppendFlashRecord(Sample(), Say);
    AppendFlashRecord(Sample(), Say);
    ASSERT_EQ(Said.size(), 1u);
    EXPECT_EQ(Said[0].rfind("the record of this flash cannot be written (", 0), 0u) << Said[0];
}

TEST(FlashRecord, TwoWritersAtOnceLoseAndSplitNothing) {
    constexpr int kEach = 150;
    pid_t children[2];
    for (pid_t &child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FlashRecord r = Sample();
            r.detail = std::string(3000, 'x');  // long lines, so that a split would show
            for (int i = 0; i < kEach; ++i) AppendFlashRecord(r, [](const std::string &) { _exit(3); });
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Said.clear();
    EXPECT_EQ(ReadFlashRecords(Say).size(), 2u * kEach);
    EXPECT_TRUE(Said.empty());
}

namespace {
FlashRecord Accepted(const std::string &flash, const std::string &model, const std::string &version,
                     const std::string &boot) {
    FlashRecord r = Sample();
    r.event = RecordEvent::Accepted;
    r.flash = flash;
    r.model = model;
    r.version = version;
    r.boot = boot;
    return r;
}
Drive Found(const std::string &vendor, const std::string &model, const std::string &revision) {
    Drive drive;
    drive.address = {1, 0};
    drive.identity.vendor = vendor + std::string(8 - vendor.size(), ' ');
    drive.identity.product = model + std::string(16 - model.size(), ' ');
    drive.identity.revision = revision;
    return drive;
}
const char kThen[] = "boot-then";
const char kNow[] = "boot-now";
}  // namespace

TEST(AfterRestart, TheRuleDecidesByIdentityVersionAndBoot) {
    struct Case {
        const char *name;
        std::vector<Drive> drives;
        const char *bootNow;
        FlashVerdict verdict;
        int drive;
    };
    const Case cases[] = {
        {"the drive reports the new version", {Found("QUORVEL", "CDRW-4824A", "1.20")}, kNow,
         FlashVerdict::Confirmed, 0},
        {"the new version in the same boot is confirmed too", {Found("QUORVEL", "CDRW-4824A", "1.20")}, kThen,
         FlashVerdict::Confirmed, 0},
        {"another boot and the old version", {Found("QUORVEL", "CDRW-4824A", "1.10")}, kNow,
         FlashVerdict::NotTaken, 0},
        {"the same boot and the old version", {Found("QUORVEL", "CDRW-4824A", "1.10")}, kThen,
         FlashVerdict::Pending, -1},
        {"no drive of that model", {Found("QUORVEL", "DVDRW-1612B", "1.20")}, kNow, FlashVerdict::Pending, -1},
        {"another maker's drive of a model of that name", {Found("ACME", "CDRW-4824A", "1.10")}, kNow,
         FlashVerdict::Pending, -1},
        {"two of that model, the second one updated",
         {Found("QUORVEL", "CDRW-4824A", "1.10"), Found("QUORVEL", "DVDRW-1612B", "2.04"),
          Found("QUORVEL", "CDRW-4824A", "1.20")},
         kNow, FlashVerdict::Confirmed, 2},
        {"two of that model, neither updated: the first one named",
         {Found("QUORVEL", "DVDRW-1612B", "1.20"), Found("QUORVEL", "CDRW-4824A", "1.10"),
          Found("QUORVEL", "CDRW-4824A", "1.11")},
         kNow, FlashVerdict::NotTaken, 1},
        {"this boot unknown", {Found("QUORVEL", "CDRW-4824A", "1.10")}, "", FlashVerdict::Pending, -1},
        {"no drives at all", {}, kNow, FlashVerdict::Pending, -1},
    };
    const FlashRecord flash = Accepted("f1", "CDRW-4824A", "1.20", kThen);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const FlashJudgment j = JudgeFlash(flash, c.drives, c.bootNow);
        EXPECT_EQ(static_cast<int>(j.verdict), static_cast<int>(c.verdict));
        EXPECT_EQ(j.drive, c.drive);
    }
}

TEST(AfterRestart, OnlyTheNewestOpenFlashOfAModelIsChecked) {
    std::vector<FlashRecord> records = {
        Accepted("a1", "CDRW-4824A", "1.15", kThen), Accepted("b1", "DVDRW-1612B", "2.10", kThen),
        Accepted("a2", "CDRW-4824A", "1.20", kThen), Accepted("c1", "COMBO-52", "3.00", kThen),
    };
    FlashRecord refused = Accepted("d1", "CDRW-9999", "9.00", kThen);
    refused.event = RecordEvent::Refused;
    FlashRecord closed = records[1];
    closed.event = RecordEvent::Confirmed;
    records.push_back(refused);
    records.push_back(closed);
    std::vector<const FlashRecord *> superseded;
    const FlashHistory history(records);
    const std::vector<const FlashRecord *> check = history.ToCheck(&superseded);
    ASSERT_EQ(check.size(), 2u);
    EXPECT_EQ(check[0]->flash, "a2");
    EXPECT_EQ(check[1]->flash, "c1");
    ASSERT_EQ(superseded.size(), 1u);
    EXPECT_EQ(superseded[0]->flash, "a1");
    EXPECT_EQ(ModelText("QUORVEL", "CDRW-4824A"), "QUORVEL CDRW-4824A");
    EXPECT_EQ(ModelText("ABCDEFGH", "X"), "ABCDEFGHX") << "eight characters of vendor, then the product";
}

// Which flash of a drive waits for the host's restart: the drive's newest,
// accepted during this boot and settled by nothing since; a drive being its
// address and identity, as a boot keeps them. And the flashes the window
// still has to tell of, once each.
TEST(AfterRestart, TheWalkerTellsEachDrivesWaitingFlashAndTheUnattendedOnes) {
    const auto line = [](const char *flash, RecordEvent event, int target, const char *boot) {
        FlashRecord r = Accepted(flash, "CDRW-4824A", "1.20", boot);
        r.event = event;
        r.target = target;
        return r;
    };
    using E = RecordEvent;
    const FlashHistory history({
        line("a1", E::Accepted, 1, kNow),      // drive 1: superseded below by a2, refused
        line("b1", E::Accepted, 2, kNow),      // drive 2: waits
        line("a2", E::Refused, 1, kNow),
        line("c1", E::Accepted, 3, kThen),     // drive 3: accepted during another boot
        line("d1", E::Accepted, 4, kNow),      // drive 4: confirmed since
        line("d1", E::Confirmed, 4, kNow),
        line("e1", E::Accepted, 5, kNow),      // drive 5: waits, its front end gone
        line("e1", E::Unattended, 5, kNow),
        line("e1", E::Unattended, 5, kNow),
        line("f1", E::Gone, 6, kNow),          // drive 6: gone, told already
        line("f1", E::Unattended, 6, kNow),
        line("f1", E::UnattendedTold, 6, kNow),
    });
    std::vector<std::string> waiting;
    for (const RecordedFlash *flash : history.WaitingForRestart(kNow)) waiting.push_back(flash->id);
    EXPECT_EQ(waiting, (std::vector<std::string>{"b1", "e1"}));
    EXPECT_TRUE(history.WaitingForRestart("").empty()) << "no boot known, nothing waits";
    const std::vector<const RecordedFlash *> told = history.UnattendedToTell();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0]->id, "e1");
    EXPECT_EQ(told[0]->outcome.ending, FlashEnding::Accepted);
    EXPECT_EQ(history.Flashes().size(), 7u);
    EXPECT_EQ(history.Flashes()[2].outcome.ending, FlashEnding::Refused) << "a2";
}

// The rule of the flash that waits for the host's restart, case by case, as
// the fleet's modules relied on it when they walked the record themselves.
TEST(AfterRestart, AnAcceptedFlashOfThisBootWaitsUntilALaterFlashOrARestartSettlesIt) {
    using E = RecordEvent;
    const auto line = [](const char *flash, RecordEvent event, const char *boot = kNow, int target = 1) {
        FlashRecord r = Accepted(flash, "CDRW-4824A", "1.20", boot);
        r.event = event;
        r.target = target;
        return r;
    };
    struct Case {
        const char *name;
        std::vector<FlashRecord> records;
        std::vector<std::string> waiting;
    };
    const Case cases[] = {
        {"accepted now", {line("f1", E::Accepted)}, {"f1"}},
        {"its own later lines", {line("f1", E::Accepted), line("f1", E::RestartNotRequested), line("f1", E::Unattended)},
         {"f1"}},
        {"before the boot", {line("f1", E::Accepted, kThen)}, {}},
        {"refused", {line("f1", E::Refused)}, {}},
        {"a later flash refused", {line("f1", E::Accepted), line("f2", E::Refused)}, {}},
        {"a later flash accepted", {line("f1", E::Accepted), line("f2", E::Accepted)}, {"f2"}},
        {"confirmed", {line("f1", E::Accepted), line("f1", E::Confirmed)}, {}},
        {"not taken", {line("f1", E::Accepted), line("f1", E::NotTaken)}, {}},
        {"an older flash superseded later",
         {line("f0", E::Accepted, kThen), line("f1", E::Accepted), line("f0", E::Superseded)}, {"f1"}},
        {"another drive's later flash", {line("f1", E::Accepted), line("f2", E::Refused, kNow, 2)}, {"f1"}},
        {"nothing", {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const FlashHistory history(c.records);
        std::vector<std::string> waiting;
        for (const RecordedFlash *flash : history.WaitingForRestart(kNow)) waiting.push_back(flash->id);
        EXPECT_EQ(waiting, c.waiting);
    }
}
