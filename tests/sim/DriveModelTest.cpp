// The drive model straight from its rules: what it answers at once, how it
// takes a download's blocks, what it refuses, and the revision a flash takes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "aspi/sim/DriveModel.h"

using namespace quorvel_sim;

namespace {

const std::string kModel = "QUORVEL CDRW-4824A      ";  // vendor and product, 24 bytes

Drive MakeDrive(DriveRefusals refusals = {}, DriveOptions options = {}) {
    DriveIdentity identity;
    std::memcpy(identity.vendor.data(), kModel.data(), 8);
    std::memcpy(identity.product.data(), kModel.data() + 8, 16);
    std::memcpy(identity.revision.data(), "1.10", 4);
    return Drive(identity, refusals, options);
}

DriveRefusals Refusing(std::set<uint32_t> commands, bool final) {
    DriveRefusals refusals;
    refusals.commands = std::move(commands);
    refusals.final = final;
    return refusals;
}

std::vector<uint8_t> Cdb(uint8_t marker) { return {0xFF, 0, 0x01, 0, 0, marker, 0, 0, 0, 0, 0, 0}; }

// A block of data, with a model and a revision at `at` when given.
std::vector<uint8_t> Block(const std::string &model = "", const std::string &revision = "",
                           size_t at = 1000) {
    std::vector<uint8_t> block(4096, 0xA5);
    std::memcpy(block.data() + at, model.data(), model.size());
    std::memcpy(block.data() + at + model.size(), revision.data(), revision.size());
    return block;
}

// One download command from arrival to completion.
DriveResponse Send(Drive &drive, uint8_t marker, const std::vector<uint8_t> &data = Block()) {
    DownloadDecision decision = drive.DecideDownload(Cdb(marker));
    return drive.FinishDownload(decision, data);
}

// The revision INQUIRY reports.
std::string Revision(const Drive &drive) {
    DriveResponse answer = drive.Answer(std::vector<uint8_t>{0x12, 0, 0, 0, 36, 0});
    EXPECT_EQ(answer.dataIn.size(), 36u);
    return std::string(answer.dataIn.begin() + 32, answer.dataIn.end());
}

TEST(DriveModel, WholeDownloadFlashesTheRevisionRunAfterAPowerCycle) {
    Drive drive = MakeDrive();
    EXPECT_EQ(Send(drive, 0x00).phase, DownloadPhase::First);
    EXPECT_TRUE(drive.InSession());
    EXPECT_EQ(Send(drive, 0xFF).phase, DownloadPhase::Next);
    DriveResponse last = Send(drive, 0x18, Block(kModel, "1.20"));
    EXPECT_EQ(last.phase, DownloadPhase::Final);
    EXPECT_EQ(last.status, ScsiStatus::Good);
    EXPECT_TRUE(last.flashed);
    ASSERT_TRUE(last.newRevision);
    EXPECT_EQ(std::string(last.newRevision->begin(), last.newRevision->end()), "1.20");
    EXPECT_FALSE(drive.InSession());
    EXPECT_EQ(drive.DownloadCount(), 3u);
    EXPECT_EQ(Revision(drive), "1.10");  // the running firmware until the drive starts again

    drive.PowerCycle();
    EXPECT_EQ(Revision(drive), "1.20");
    EXPECT_EQ(drive.DownloadCount(), 0u);
}

TEST(DriveModel, FurtherBlockOutsideASessionIsOutOfSequence) {
    Drive drive = MakeDrive();
    DriveResponse stray = Send(drive, 0xFF);
    EXPECT_EQ(stray.phase, DownloadPhase::Stray);
    EXPECT_EQ(stray.status, ScsiStatus::CheckCondition);
    EXPECT_EQ(stray.sense, kSequenceError);
    EXPECT_FALSE(stray.flashed);

    // A block marked 0x00 inside a session ends it, like any mark but 0xFF.
    EXPECT_EQ(Send(drive, 0x00).phase, DownloadPhase::First);
    EXPECT_EQ(Send(drive, 0x00).phase, DownloadPhase::Final);
    EXPECT_EQ(Send(drive, 0xFF).phase, DownloadPhase::Stray);
    EXPECT_EQ(Send(drive, 0x40).phase, DownloadPhase::Only);
}

TEST(DriveModel, RefusedCommandNumberEndsTheSession) {
    Drive drive = MakeDrive(Refusing({3}, false));
    EXPECT_EQ(drive.HoldDownload().phase, DownloadPhase::None);  // counted all the same
    EXPECT_EQ(Send(drive, 0x00).status, ScsiStatus::Good);
    DriveResponse refused = Send(drive, 0xFF);
    EXPECT_EQ(refused.phase, DownloadPhase::Next);
    EXPECT_EQ(refused.status, ScsiStatus::CheckCondition);
    EXPECT_EQ(refused.sense, kWriteError);
    EXPECT_FALSE(drive.InSession());
    EXPECT_EQ(Send(drive, 0xFF).phase, DownloadPhase::Stray);
}

TEST(DriveModel, RefusedFinalBlockFlashesNothing) {
    Drive drive = MakeDrive(Refusing({}, true));
    EXPECT_EQ(Send(drive, 0x00).status, ScsiStatus::Good);
    DriveResponse final = Send(drive, 0x18, Block(kModel, "1.20"));
    EXPECT_EQ(final.sense, kWriteError);
    EXPECT_FALSE(final.flashed);
    DriveResponse only = Send(drive, 0x18, Block(kModel, "1.20"));  // a final block too
    EXPECT_EQ(only.phase, DownloadPhase::Only);
    EXPECT_EQ(only.sense, kWriteError);
    EXPECT_FALSE(drive.Flashed());
    drive.PowerCycle();
    EXPECT_EQ(Revision(drive), "1.10");
}

TEST(DriveModel, FinalBlockWithoutTheWholeModelKeepsTheRevision) {
    Drive drive = MakeDrive();
    DriveResponse other = Send(drive, 0x05, Block("QUORVEL DVDRW-1612B     ", "6.66"));
    EXPECT_TRUE(other.flashed);
    EXPECT_FALSE(other.newRevision);
    // The model whose revision the end of the data cuts off.
    DriveResponse cut = Send(drive, 0x05, Block(kModel, "7.7", 4096 - 27));
    EXPECT_TRUE(cut.flashed);
    EXPECT_FALSE(cut.newRevision);
    drive.PowerCycle();
    EXPECT_EQ(Revision(drive), "1.10");
}

TEST(DriveModel, DownloadReadsOnlyBytesZeroTwoAndFiveOfACdbOfAnyLength) {
    // As the kernel's target hands a 0xFF command on: 10 bytes, or fewer
    // known; the other bytes may hold anything.
    const std::vector<uint8_t> ten = {0xFF, 0x5A, 0x01, 0x5A, 0x5A, 0x00, 0x5A, 0x5A, 0x5A, 0x5A};
    const std::vector<uint8_t> six = {0xFF, 0xA5, 0x01, 0xA5, 0xA5, 0xFF};
    EXPECT_TRUE(Drive::IsDownload(ten));
    EXPECT_TRUE(Drive::IsDownload(six));
    EXPECT_FALSE(Drive::IsDownload(std::vector<uint8_t>(six.begin(), six.begin() + 5)));
    EXPECT_FALSE(Drive::IsDownload(std::vector<uint8_t>{0xFF, 0, 0x04, 0, 0, 0}));
    Drive drive = MakeDrive();
    EXPECT_EQ(drive.DecideDownload(ten).phase, DownloadPhase::First);
    EXPECT_EQ(drive.DecideDownload(six).phase, DownloadPhase::Next);
}

TEST(DriveModel, AnswersInquiryAndRefusesEverythingElse) {
    Drive drive = MakeDrive();
    DriveResponse full = drive.Answer(std::vector<uint8_t>{0x12, 0, 0, 0, 0xFF, 0});
    ASSERT_EQ(full.status, ScsiStatus::Good);
    const uint8_t head[8] = {0x05, 0x80, 0x05, 0x02, 31, 0, 0, 0};
    ASSERT_EQ(full.dataIn.size(), 36u);
    EXPECT_EQ(std::memcmp(full.dataIn.data(), head, 8), 0);
    EXPECT_EQ(std::string(full.dataIn.begin() + 8, full.dataIn.end()), kModel + "1.10");
    EXPECT_EQ(drive.Answer(std::vector<uint8_t>{0x12, 0, 0, 0, 5, 0}).dataIn.size(), 5u);

    EXPECT_EQ(drive.Answer(std::vector<uint8_t>{0x12, 0x01, 0, 0, 36, 0}).sense, kInvalidField);
    EXPECT_EQ(drive.Answer(std::vector<uint8_t>{0x12, 0, 0x80, 0, 36, 0}).sense, kInvalidField);
    EXPECT_EQ(drive.Answer(std::vector<uint8_t>{0x12, 0, 0, 0, 36}).sense, kIllegalOpcode);
    DriveResponse unitReady = drive.Answer(std::vector<uint8_t>{0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(unitReady.status, ScsiStatus::CheckCondition);
    EXPECT_EQ(unitReady.sense, kIllegalOpcode);
    EXPECT_TRUE(unitReady.dataIn.empty());
}

TEST(DriveModel, AnswersAHostsScanAsAnEmptyDriveOnlyWhenAskedTo) {
    const std::vector<uint8_t> unitReady = {0x00, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> requestSense = {0x03, 0, 0, 0, 18, 0};
    const std::vector<uint8_t> preventRemoval = {0x1E, 0, 0, 0, 1, 0};
    const std::vector<uint8_t> startStop = {0x1B, 0, 0, 0, 0x01, 0};
    const std::vector<uint8_t> readCapacity = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> readToc = {0x43, 0x02, 0, 0, 0, 0, 0, 0, 12, 0};
    const std::vector<uint8_t> modeSense = {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0xFF, 0};
    const std::vector<uint8_t> configuration = {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0};

    // Left off (the simulated machine): all alike, ILLEGAL REQUEST.
    Drive plain = MakeDrive();
    for (const auto &cdb : {unitReady, requestSense, preventRemoval, startStop, readCapacity, readToc}) {
        DriveResponse answer = plain.Answer(cdb);
        EXPECT_EQ(answer.status, ScsiStatus::CheckCondition) << int(cdb[0]);
        EXPECT_EQ(answer.sense, kIllegalOpcode) << int(cdb[0]);
    }

    Drive drive = MakeDrive({}, DriveOptions{true});
    for (const auto &cdb : {unitReady, readCapacity, readToc}) {
        DriveResponse answer = drive.Answer(cdb);
        EXPECT_EQ(answer.status, ScsiStatus::CheckCondition) << int(cdb[0]);
        EXPECT_EQ(answer.sense, kMediumNotPresent) << int(cdb[0]);
        EXPECT_TRUE(answer.dataIn.empty());
    }
    for (const auto &cdb : {preventRemoval, startStop}) {
        DriveResponse answer = drive.Answer(cdb);
        EXPECT_EQ(answer.status, ScsiStatus::Good) << int(cdb[0]);
        EXPECT_TRUE(answer.dataIn.empty());
    }
    // REQUEST SENSE: the not-ready sense as data, cut to the allocation length.
    const std::vector<uint8_t> sense = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0};
    DriveResponse full = drive.Answer(requestSense);
    EXPECT_EQ(full.status, ScsiStatus::Good);
    EXPECT_EQ(full.dataIn, sense);
    DriveResponse cut = drive.Answer(std::vector<uint8_t>{0x03, 0, 0, 0, 8, 0});
    EXPECT_EQ(cut.dataIn, std::vector<uint8_t>(sense.begin(), sense.begin() + 8));
    // Capabilities and features it does not report.
    EXPECT_EQ(drive.Answer(modeSense).sense, kIllegalOpcode);
    EXPECT_EQ(drive.Answer(configuration).sense, kIllegalOpcode);
    EXPECT_EQ(drive.Answer(std::vector<uint8_t>{0x00, 0, 0, 0, 0}).sense, kIllegalOpcode);  // too short

    // INQUIRY and the download are the same drive's.
    EXPECT_EQ(Revision(drive), "1.10");
    EXPECT_EQ(Send(drive, 0x00).phase, DownloadPhase::First);
    DriveResponse last = Send(drive, 0x18, Block(kModel, "1.20"));
    EXPECT_EQ(last.phase, DownloadPhase::Final);
    ASSERT_TRUE(last.newRevision);
    drive.PowerCycle();
    EXPECT_EQ(Revision(drive), "1.20");
}

TEST(DriveModel, ARefusalsSenseATimeOutAndGoingAwayAreDecidedInOrder) {
    DriveRefusals faults;
    faults.commands = {2, 3};
    faults.sense = kInvalidField;
    faults.timeouts = {3, 5};
    faults.goneAt = 6;
    Drive drive = MakeDrive(faults);
    EXPECT_EQ(Send(drive, 0x00).status, ScsiStatus::Good);
    const DownloadDecision refused = drive.DecideDownload(Cdb(0xFF));
    EXPECT_TRUE(refused.refused);
    EXPECT_EQ(refused.sense, kInvalidField) << "the refusal's own sense";
    EXPECT_FALSE(drive.InSession());
    // Command 3 is a stray block: out of sequence before anything else.
    const DownloadDecision stray = drive.DecideDownload(Cdb(0xFF));
    EXPECT_EQ(stray.sense, kSequenceError);
    EXPECT_FALSE(stray.timedOut);
    EXPECT_EQ(Send(drive, 0x00).status, ScsiStatus::Good);
    // Command 5, in a session: no answer in time, and the session is over.
    const DownloadDecision late = drive.DecideDownload(Cdb(0xFF));
    EXPECT_TRUE(late.timedOut);
    EXPECT_FALSE(late.refused);
    EXPECT_EQ(late.phase, DownloadPhase::Next);
    EXPECT_FALSE(drive.InSession());
    // Gone at 6, and for every command after it; back after a power cycle.
    EXPECT_FALSE(drive.Gone());
    EXPECT_TRUE(drive.DecideDownload(Cdb(0x00)).gone);
    EXPECT_TRUE(drive.Gone());
    const DownloadDecision after = drive.DecideDownload(Cdb(0x00));
    EXPECT_TRUE(after.gone);
    EXPECT_EQ(after.number, 7u);
    drive.PowerCycle();
    EXPECT_FALSE(drive.Gone());
    EXPECT_EQ(Send(drive, 0x00).status, ScsiStatus::Good);
}

}  // namespace
