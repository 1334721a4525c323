// What quorvel-flash says of flashes under way: status's lines and JSON, the
// refusal of write and check, watch's first line and table, and the image's
// bytes a followed flash's progress counts.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "cli/TerminalFrontEnd.h"
#include "cli/UnderWay.h"
#include "cli/Words.h"

namespace {
// 2026-12-08T09:14:27Z.
constexpr int64_t kSince = 1796721267000;

FlashUnderWay UnderWay(DriveAddress drive, int accepted, bool finalOut, bool present) {
    FlashUnderWay flash;
    flash.drive = drive;
    flash.record.vendor = "QUORVEL";
    flash.record.model = "CDRW-4824A";
    flash.record.revision = "1.10";
    flash.record.version = "1.20";
    flash.record.file = "FW4824.BIN";
    flash.record.size = 262144;
    flash.record.sha256 = "ab12";
    flash.record.flash = "2026-12-08T09:14:27Z-4242-1";
    flash.record.program = "quorvel-flash";
    flash.snapshot = {accepted, 5, finalOut, kSince, 4242, present, false, 48};
    return flash;
}
}  // namespace

TEST(UnderWay, TimesAreTheRecordsUtc) {
    EXPECT_EQ(UtcTimeText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(UtcTimeText(kSince + 999), "2026-12-08T09:14:27Z");
    EXPECT_EQ(UtcTimeText(951868799000), "2000-02-29T23:59:59Z");
    EXPECT_EQ(UtcTimeText(4107542401000), "2100-03-01T00:00:01Z");
}

TEST(UnderWay, StatusSaysEachFlashInColumnsThenOtherUsersOrNothing) {
    FlashUnderWay answered = UnderWay({1, 0}, 4, true, true);
    answered.record.model = "DVDRW-1612B";
    answered.record.file = "X.BIN";
    answered.answer.ending = FlashEnding::Accepted;
    answered.answer.blocks = 5;
    const OtherUsersFlash other{777, 1000, "alice", kSince, {"/dev/sr0", "/dev/sg1"}};
    const OtherUsersFlash unnamed{778, 1001, "1001", 0, {}};
    EXPECT_EQ(StatusLines({UnderWay({0, 1}, 2, false, false), UnderWay({0, 2}, 4, true, true), answered}, {other, unnamed}),
              (std::vector<std::string>{
                  "0:1  QUORVEL CDRW-4824A   1.10 -> 1.20  FW4824.BIN  block 2 of 5                  since "
                  "2026-12-08T09:14:27Z  started by quorvel-flash (pid 4242, gone)",
                  "0:2  QUORVEL CDRW-4824A   1.10 -> 1.20  FW4824.BIN  the final block in the drive  since "
                  "2026-12-08T09:14:27Z  started by quorvel-flash (pid 4242, running)",
                  "1:0  QUORVEL DVDRW-1612B  1.10 -> 1.20  X.BIN       accepted all 5 blocks         since "
                  "2026-12-08T09:14:27Z  started by quorvel-flash (pid 4242, running)",
                  "another user's flash: alice (uid 1000), its process 777 since 2026-12-08T09:14:27Z, holding "
                  "/dev/sr0, /dev/sg1",
                  "another user's flash: 1001 (uid 1001), its process 778, on a drive this user cannot name",
              }));
    EXPECT_EQ(StatusLines({}, {}), std::vector<std::string>{"nothing under way."});
    EXPECT_EQ(StatusJson({UnderWay({0, 1}, 2, false, false)}, {other}),
              R"({"flashes":[{"block":2,"blocks":5,"drive":"0:1","file":"FW4824.BIN","final":false,)"
              R"("flash":"2026-12-08T09:14:27Z-4242-1","model":"CDRW-4824A","new":"1.20","old":"1.10",)"
              R"("restart":false,"result":"under-way","sha256":"ab12","since":"2026-12-08T09:14:27Z","size":262144,)"
              R"("starter":{"pid":4242,"present":false,"program":"quorvel-flash"},"vendor":"QUORVEL"}],)"
              R"("other-users":[{"holds":["/dev/sr0","/dev/sg1"],"pid":777,"since":"2026-12-08T09:14:27Z",)"
              R"("uid":1000,"user":"alice"}]})"
              "\n");
}

TEST(UnderWay, WriteAndCheckSayWhoseFlashItIsAndWatchSaysWhereItFollowsFrom) {
    const FlashUnderWay flash = UnderWay({0, 1}, 2, false, false);
    EXPECT_EQ(UnderWayRefusal(flash),
              "DOWNLOAD BUSY!! A flash of this drive is under way: firmware 1.20 from FW4824.BIN, block 2 of 5, "
              "started by quorvel-flash (pid 4242, gone) at 2026-12-08T09:14:27Z. Nothing was sent to it; "
              "quorvel-flash watch --drive 0:1 follows it.");
    EXPECT_EQ(FollowingLine(flash, true),
              "following the flash of firmware 1.20 into QUORVEL CDRW-4824A at 0:1 (now 1.10): 5 blocks, 262144 "
              "bytes of FW4824.BIN, started by quorvel-flash (pid 4242, gone) at 2026-12-08T09:14:27Z; block 2 of 5.");
    EXPECT_EQ(FollowingLine(UnderWay({0, 1}, 4, true, true), false),
              "following the flash of firmware 1.20 into QUORVEL CDRW-4824A (now 1.10): 5 blocks, 262144 bytes of "
              "FW4824.BIN, started by quorvel-flash (pid 4242, running) at 2026-12-08T09:14:27Z; the final block in "
              "the drive.");
    EXPECT_EQ(ListMark(flash), "being flashed: block 2 of 5");
    // The drive as its record names it, every field at its width.
    const Drive drive = DriveOfFlash(flash);
    EXPECT_EQ(drive.address, (DriveAddress{0, 1}));
    EXPECT_EQ(drive.identity.Entry(), "QUORVEL CDRW-4824A      1.10");
}

TEST(UnderWay, AFollowedFlashCountsItsOwnImagesBytesAndVersion) {
    // 5 blocks of 48 KiB, the final one the rest: 262144 - 4 * 49152 = 65536.
    EXPECT_EQ(BytesAfterBlocks(262144, 48, 5), (std::vector<int64_t>{0, 49152, 98304, 147456, 196608, 262144}));
    EXPECT_EQ(BytesAfterBlocks(4096, 0, 1), (std::vector<int64_t>{0, 4096}));
    // A watch of two images: the table says each drive's own new version.
    DriveOutcome first, second;
    first.drive = DriveOfFlash(UnderWay({0, 1}, 5, true, false));
    first.outcome = {FlashEnding::Accepted, 5, 5, FailureKind::None, {}, {}};
    first.version = "1.20";
    second.drive = DriveOfFlash(UnderWay({0, 2}, 5, true, false));
    second.outcome = first.outcome;
    second.version = "1.30";
    EXPECT_EQ(TowerTable("", {first, second}), "DRIVE  MODEL               OLD   NEW   RESULT\n"
                                               "0:1    QUORVEL CDRW-4824A  1.10  1.20  accepted\n"
                                               "0:2    QUORVEL CDRW-4824A  1.10  1.30  accepted\n");
    const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(TowerJson("", {first, second}, 0))).object();
    EXPECT_EQ(summary["drives"][1]["version"].toString(), "1.30");
}
