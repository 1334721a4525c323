// What a flash writes into the record, field by field, and what the window
// says of it at the next start.
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/AfterRestart.h"
#include "record/FlashRecord.h"
#include "state/SharedState.h"
#include "tests/download/DownloadFixture.h"

namespace {
constexpr int32_t KiB = 1024;

std::vector<FlashRecord> Records() {
    return ReadFlashRecords([](const std::string &line) { ADD_FAILURE() << line; });
}

std::string Sha256Of(const std::string &path) {
    std::string digest;
    if (FILE *out = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char text[65] = {};
        if (std::fread(text, 1, 64, out) == 64) digest = text;
        pclose(out);
    }
    return digest;
}
}  // namespace

TEST_F(DownloadFlow, AFlashIsRecordedEventByEvent) {
    LoadImage(384 * KiB, 60, 7);
    std::memcpy(ImageVersion, "1.20", 4);
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    RestartRefusedBySystem();

    std::vector<FlashRecord> records = Records();
    ASSERT_EQ(records.size(), 4u);
    // The flash's start, by its process: its pid, the boot.
    EXPECT_EQ(records[0].event, RecordEvent::Started);
    EXPECT_EQ(records[0].pid, getpid()) << "the session runs in the test's own process";
    EXPECT_EQ(records[0].block, 0);
    EXPECT_EQ(records[0].boot.size(), 36u);
    records.erase(records.begin());
    const FlashRecord &accepted = records[0];
    EXPECT_EQ(accepted.event, RecordEvent::Accepted);
    EXPECT_EQ(accepted.vendor, "QUORVEL");
    EXPECT_EQ(accepted.model, "CDRW-4824A");
    EXPECT_EQ(accepted.revision, "1.10");
    EXPECT_EQ(accepted.adapter, kAdapter);
    EXPECT_EQ(accepted.target, kTarget);
    EXPECT_EQ(accepted.file, "IMAGE.BIN");
    EXPECT_EQ(accepted.size, 384 * KiB);
    EXPECT_EQ(accepted.sha256, Sha256Of(path));
    EXPECT_EQ(accepted.version, "1.20");
    EXPECT_EQ(accepted.block, 7);
    EXPECT_EQ(accepted.blocks, 7);
    EXPECT_EQ(accepted.program, "quorvel");
    EXPECT_EQ(accepted.boot.size(), 36u);
    EXPECT_EQ(records[1].event, RecordEvent::RestartRequested);
    EXPECT_EQ(records[2].event, RecordEvent::RestartRefused);
    EXPECT_EQ(records[2].detail, "it was not allowed.");
    for (const FlashRecord &r : records) EXPECT_EQ(r.flash, accepted.flash) << "one flash, one id";

    // A refused third block; and a transfer that never began is not recorded.
    std::atomic<int> downloads{0};
    aspi->decide = [&downloads](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.CDBByte[0] == 0xFF && ++downloads == 3 ? SS_ERR : SS_COMP;
    };
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitForWorkers());
    layer.failThreads = true;
    form->ToolButton2Click(form->ToolButton2);
    const std::vector<FlashRecord> after = Records();
    ASSERT_EQ(after.size(), 6u) << "its start, then the refusal; a transfer that never began: nothing";
    EXPECT_EQ(after[5].event, RecordEvent::Refused);
    EXPECT_EQ(after[5].block, 3);
    EXPECT_EQ(after[5].blocks, 7);
    EXPECT_NE(after[5].flash, accepted.flash);
}

TEST_F(DownloadFlow, AtTheNextStartEachCheckedFlashIsToldOnce) {
    // The drive of the fixture reports 1.10.
    FlashRecord flash;
    flash.flash = "earlier";
    flash.event = RecordEvent::Accepted;
    flash.vendor = "QUORVEL";
    flash.model = "CDRW-4824A";
    flash.revision = "1.00";
    flash.version = "1.10";
    flash.boot = "an earlier boot";
    FlashRecord other = flash;
    other.flash = "other";
    other.model = "DVDRW-1612B";
    other.version = "2.10";
    AppendFlashRecord(flash, [](const std::string &line) { ADD_FAILURE() << line; });
    AppendFlashRecord(other, [](const std::string &line) { ADD_FAILURE() << line; });
    DriveCount = 1;

    CheckFlashesAfterRestart();
    ASSERT_EQ(layer.Boxes().size(), 1u) << "no drive of the other model: nothing said of it";
    EXPECT_EQ(layer.Boxes()[0].text, "FIRMWARE UPDATED!!\nQUORVEL CDRW-4824A\nnow runs 1.10 (was 1.00)");
    EXPECT_EQ(layer.Boxes()[0].caption, "MESSAGE");
    EXPECT_EQ(layer.Boxes()[0].style, 0x1000u);
    const std::vector<FlashRecord> records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].event, RecordEvent::Confirmed);
    EXPECT_EQ(records[2].flash, "earlier");
    EXPECT_EQ(records[2].adapter, kAdapter);
    EXPECT_EQ(records[2].target, kTarget);

    // Told once: checked again, nothing more is said.
    layer.Clear();
    CheckFlashesAfterRestart();
    EXPECT_TRUE(layer.Boxes().empty());

    // A flash of an earlier boot the drive did not take.
    flash.flash = "later";
    flash.version = "1.30";
    AppendFlashRecord(flash, [](const std::string &line) { ADD_FAILURE() << line; });
    CheckFlashesAfterRestart();
    ASSERT_EQ(layer.Boxes().size(), 1u);
    EXPECT_EQ(layer.Boxes()[0].text,
              "FIRMWARE NOT UPDATED!!\nQUORVEL CDRW-4824A\nstill runs 1.10, not 1.30.\nFlash it again, or ask the "
              "drive's maker.");
    EXPECT_EQ(layer.Boxes()[0].style, 0x1010u);
    EXPECT_EQ(Records().back().event, RecordEvent::NotTaken);
}

TEST_F(DownloadFlow, TheRecordsDigestIsOfTheBytesTheDriveGotWhateverBecomesOfTheFile) {
    LoadImage(384 * KiB, 60, 7);
    const std::string original = dir + "/ORIGINAL.BIN";
    ASSERT_EQ(std::system(("cp '" + path + "' '" + original + "'").c_str()), 0);
    aspi->CloseGate();
    form->ToolButton2Click(form->ToolButton2);
    ASSERT_TRUE(WaitFor([this] { return Downloads().size() == 1; }));
    // Another image of the same length written over the file mid-flash.
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(384 * KiB, 'Z');
    aspi->OpenGate();
    ASSERT_TRUE(WaitForWorkers());

    const std::vector<FlashRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].event, RecordEvent::Accepted);
    EXPECT_EQ(records[1].sha256, Sha256Of(original)) << "the digest of the bytes sent, not of the file now";
    EXPECT_NE(records[1].sha256, Sha256Of(path));
    std::remove(original.c_str());
}

TEST_F(DownloadFlow, AtTheNextStartAFlashThatEndedWithoutItsWindowIsToldOnce) {
    FlashRecord accepted;
    accepted.flash = "alone";
    accepted.event = RecordEvent::Accepted;
    accepted.vendor = "QUORVEL";
    accepted.model = "CDRW-4824A";
    accepted.revision = "1.10";
    accepted.version = "1.20";
    accepted.block = 7;
    accepted.blocks = 7;
    FlashRecord alone = accepted;
    alone.event = RecordEvent::Unattended;
    alone.detail = "the window was gone";
    FlashRecord refused = accepted;
    refused.flash = "refused";
    refused.event = RecordEvent::Refused;
    refused.model = "DVDRW-1612B";
    refused.version = "2.10";
    refused.block = 3;
    refused.blocks = 5;
    FlashRecord refusedAlone = refused;
    refusedAlone.event = RecordEvent::Unattended;
    refusedAlone.detail = "quorvel-flash was gone";
    FlashRecord gone = refused;
    gone.flash = "gone";
    gone.event = RecordEvent::Gone;
    gone.block = 4;
    FlashRecord goneAlone = gone;
    goneAlone.event = RecordEvent::Unattended;
    goneAlone.detail = "the window was gone";
    for (const FlashRecord &r : {accepted, alone, refused, refusedAlone, gone, goneAlone})
        AppendFlashRecord(r, [](const std::string &line) { ADD_FAILURE() << line; });
    DriveCount = 1;

    CheckFlashesAfterRestart();
    ASSERT_EQ(layer.Boxes().size(), 3u);
    EXPECT_EQ(layer.Boxes()[2].text,
              " DOWNLOAD FAIL!! \nQUORVEL DVDRW-1612B\n2.10 was written while the window was gone:\nthe drive "
              "went away at block 4 of 5.\nThe drive may need the same image again.");
    EXPECT_EQ(layer.Boxes()[0].text,
              "FIRMWARE WRITTEN!!\nQUORVEL CDRW-4824A\n1.20 was written while the window was gone:\nthe drive "
              "accepted all 7 blocks.\nRestart the computer to finish the update.");
    EXPECT_EQ(layer.Boxes()[0].style, 0x1000u);
    EXPECT_EQ(layer.Boxes()[1].text,
              " DOWNLOAD FAIL!! \nQUORVEL DVDRW-1612B\n2.10 was written while quorvel-flash was gone:\nthe drive "
              "refused block 3 of 5.\nThe drive may need the same image again.");
    EXPECT_EQ(layer.Boxes()[1].style, 0x1010u);
    EXPECT_EQ(layer.Boxes()[1].caption, "MESSAGE");

    layer.Clear();
    CheckFlashesAfterRestart();
    EXPECT_TRUE(layer.Boxes().empty()) << "told once";
    EXPECT_EQ(Records().back().event, RecordEvent::UnattendedTold);
}

// The record is anyone's to write: fields of any length are read, and the
// boxes at the window's start say each in at most 200 bytes.
TEST_F(DownloadFlow, RecordFieldsOfTenKibibytesAreToldInBoxesOfABoundedSize) {
    const std::string huge(10 * KiB, 'v');
    FlashRecord accepted;
    accepted.flash = "huge";
    accepted.event = RecordEvent::Accepted;
    accepted.vendor = "QUORVEL";
    accepted.model = "CDRW-4824A";
    accepted.revision = "1.00";
    accepted.version = huge;
    accepted.boot = "an earlier boot";
    FlashRecord refused = accepted;
    refused.flash = "alone";
    refused.event = RecordEvent::Refused;
    refused.model = "DVDRW-1612B";
    refused.block = 3;
    refused.blocks = 5;
    refused.detail = std::string(10 * KiB, 'd');
    FlashRecord alone = refused;
    alone.event = RecordEvent::Unattended;
    for (const FlashRecord &r : {accepted, refused, alone})
        AppendFlashRecord(r, [](const std::string &line) { ADD_FAILURE() << line; });
    DriveCount = 1;

    // As at the window's start: the check runs from its first paint.
    form->show();
    ASSERT_TRUE(WaitFor([this] { return layer.Boxes().size() == 2; }));
    const std::string cut = std::string(200, 'v') + "...";
    EXPECT_EQ(layer.Boxes()[0].text, "FIRMWARE NOT UPDATED!!\nQUORVEL CDRW-4824A\nstill runs 1.10, not " + cut +
                                         ".\nFlash it again, or ask the drive's maker.");
    EXPECT_EQ(layer.Boxes()[1].text, " DOWNLOAD FAIL!! \nQUORVEL DVDRW-1612B\n" + cut + " was written while " +
                                         std::string(200, 'd') + "...:\nthe drive refused block 3 of 5.\n"
                                         "The drive may need the same image again.");
}
