// After a failed block, and before the first: the drive asked with INQUIRY,
// whether it is still there, and whether it is still the drive chosen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "drive/Presence.h"
#include "drive/Scsi.h"
#include "tests/support/FakeAspi.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Fixed format as drives send it, ASC and ASCQ at 12 and 13.
Bytes Fixed(uint8_t key, uint8_t asc, uint8_t ascq) {
    return {0x70, 0x00, key, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, asc, ascq};
}

// The flash's decision after a failed block: the drive asked with INQUIRY
// only when it gave no word of its own, and gone only when it is no longer
// there, whatever status the block ended with.
TEST(Presence, AFailedBlockIsGoneWhenTheDriveIsNoLongerThere) {
    RecorderLayer layer;
    FakeAspi aspi{layer};
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 2, 0x05, "QUORVEL CDRW-4824A      1.10");
    std::vector<uint8_t> inquiries;  // each INQUIRY's answer in turn: SS_COMP, SS_ERR or SS_NO_DEVICE
    aspi.decide = [&](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        if (srb.CDBByte[0] != 0x12 || inquiries.empty()) return SS_ERR;
        const uint8_t status = inquiries.front();
        inquiries.erase(inquiries.begin());
        return status;
    };
    aspi.fill = [](SRB_ExecSCSICmd &srb) { srb.SRB_HaStat = 0x14; };
    ScsiAnswer unplugged;  // through usb-storage: the kernel's DID_ERROR
    unplugged.status = SS_ERR;
    unplugged.haStat = 0x14;

    inquiries = {SS_NO_DEVICE};
    EXPECT_EQ(CauseOfFailedCommand(unplugged, 0, 2).kind, FailureKind::Gone);
    EXPECT_EQ(aspi.RequestCount(), 1u);
    inquiries = {SS_ERR, SS_NO_DEVICE};  // still being removed, then gone
    EXPECT_EQ(CauseOfFailedCommand(unplugged, 0, 2).kind, FailureKind::Gone);
    EXPECT_EQ(aspi.RequestCount(), 3u);
    inquiries = {SS_COMP};
    const FailureCause there = CauseOfFailedCommand(unplugged, 0, 2);
    EXPECT_EQ(there.kind, FailureKind::AdapterFailed);
    EXPECT_EQ(SayFailureCause(there), "The drive's adapter or bus failed (bus phase error).");
    EXPECT_EQ(aspi.RequestCount(), 4u);
    for (const FakeRequest &request : aspi.Requests()) EXPECT_EQ(request.srb.CDBByte[0], 0x12) << "INQUIRY alone is sent";

    ScsiAnswer refused;
    refused.status = SS_ERR;
    refused.targStat = 0x02;
    refused.senseLength = 14;
    const Bytes sense = Fixed(0x05, 0x20, 0x00);
    std::copy(sense.begin(), sense.end(), refused.sense.begin());
    EXPECT_EQ(CauseOfFailedCommand(refused, 0, 2).kind, FailureKind::Refused);
    ScsiAnswer noDevice;
    noDevice.status = SS_NO_DEVICE;
    EXPECT_EQ(CauseOfFailedCommand(noDevice, 0, 2).kind, FailureKind::Gone);
    EXPECT_EQ(aspi.RequestCount(), 4u) << "nothing is sent after the drive's own word or no device";
}

TEST(Presence, TheDriveIsKnownByItsVendorAndModelAsTheRecordNamesThem) {
    uint8_t inquiry[36] = {0x05};
    std::memcpy(inquiry + 8, "QUORVEL CDRW-4824A      1.10", 28);
    EXPECT_TRUE(AnswersAsTheDrive(inquiry, "QUORVEL", "CDRW-4824A"));
    EXPECT_FALSE(AnswersAsTheDrive(inquiry, "QUORVEL", "DVDRW-1612B"));
    EXPECT_FALSE(AnswersAsTheDrive(inquiry, "QUORVE", "CDRW-4824A")) << "the whole vendor";
    EXPECT_FALSE(AnswersAsTheDrive(inquiry, "QUORVEL", "CDRW-4824")) << "the whole model";
    inquiry[25] = 0;  // the model cut at its tenth byte: "CDRW-4824"
    EXPECT_TRUE(AnswersAsTheDrive(inquiry, "QUORVEL", "CDRW-4824"));
    inquiry[11] = 0;  // a zero in the vendor ends the identity there: the record names no model
    EXPECT_TRUE(AnswersAsTheDrive(inquiry, "QUO", ""));
    EXPECT_FALSE(AnswersAsTheDrive(inquiry, "QUO", "CDRW-4824"));
}

TEST(Presence, StillTheDriveAsksWithOneInquiry) {
    RecorderLayer layer;
    FakeAspi aspi{layer};
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 2, 0x05, "QUORVEL CDRW-4824A      1.10");
    aspi.AddDevice(0, 3, 0x05, "QUORVEL DVDRW-1612B     2.04");
    EXPECT_TRUE(StillTheDrive(0, 2, "QUORVEL", "CDRW-4824A"));
    EXPECT_FALSE(StillTheDrive(0, 3, "QUORVEL", "CDRW-4824A")) << "another drive in its place";
    EXPECT_FALSE(StillTheDrive(0, 4, "QUORVEL", "CDRW-4824A")) << "no drive there";
    ASSERT_EQ(aspi.RequestCount(), 3u);
    for (const FakeRequest &request : aspi.Requests()) EXPECT_EQ(request.srb.CDBByte[0], 0x12);
}

}  // namespace
