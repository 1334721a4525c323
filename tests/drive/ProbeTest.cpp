// The window-free probe rule: which addresses are asked, with which request,
// and which devices become list entries.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "drive/Probe.h"
#include "tests/support/FakeAspi.h"

namespace {

const std::string kDriveA = "VENDORA PRODUCT-A DRIVE 1.00";  // 28 characters
const std::string kDriveB = "VENDORB PRODUCT-B DRIVE 2.10";

struct ProbeFixture : ::testing::Test {
    RecorderLayer layer;
    FakeAspi aspi{layer};
    std::array<uint8_t, 64> buffer{};
};

TEST_F(ProbeFixture, EveryPairIsAskedOnceAdapterFirstWithTheInquiryRequest) {
    aspi.SetAdapters(3);
    buffer.fill(0xAA);
    ProbeDrives(3, buffer.data());

    const auto requests = aspi.Requests();
    ASSERT_EQ(requests.size(), 24u);
    for (size_t n = 0; n < requests.size(); ++n) {
        const SRB_ExecSCSICmd &srb = requests[n].srb;
        SCOPED_TRACE(n);
        EXPECT_EQ(srb.SRB_HaId, n / 8);
        EXPECT_EQ(srb.SRB_Target, n % 8);
        EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
        EXPECT_EQ(srb.SRB_Lun, 0);
        EXPECT_EQ(srb.SRB_Flags, SRB_DIR_IN);
        EXPECT_EQ(srb.SRB_BufLen, 36u);
        EXPECT_EQ(srb.SRB_BufPointer, buffer.data());
        EXPECT_EQ(srb.SRB_SenseLen, 14);
        EXPECT_EQ(srb.SRB_CDBLen, 6);
        const uint8_t inquiry[16] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
        EXPECT_EQ(std::memcmp(srb.CDBByte, inquiry, 16), 0);
    }
}

TEST_F(ProbeFixture, ListsCdDvdDevicesInAdapterThenTargetOrder) {
    aspi.SetAdapters(2);
    aspi.AddDevice(1, 0, 0x05, kDriveB);
    aspi.AddDevice(0, 5, 0x05, kDriveA);
    const auto drives = ProbeDrives(2, buffer.data());
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].address.adapter, 0);
    EXPECT_EQ(drives[0].address.target, 5);
    EXPECT_EQ(drives[0].identity.Entry(), kDriveA);
    EXPECT_EQ(drives[1].address.adapter, 1);
    EXPECT_EQ(drives[1].address.target, 0);
    EXPECT_EQ(drives[1].identity.Entry(), kDriveB);
    EXPECT_EQ(buffer[36], 0);
}

TEST_F(ProbeFixture, EachDriveCarriesTheTransportItsManagerTells) {
    aspi.SetAdapters(2);
    aspi.AddDevice(1, 0, 0x05, kDriveB);
    aspi.AddDevice(0, 5, 0x05, kDriveA);
    std::vector<std::string> asked;
    layer.deviceTransport = [&](uint8_t adapter, uint8_t target) {
        asked.push_back(std::to_string(adapter) + ":" + std::to_string(target));
        return adapter == 1 ? TRANSPORT_USB : uint32_t{0x2A};
    };
    const auto drives = ProbeDrives(2, buffer.data());
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].transport, DriveTransport::Unknown) << "an answer with no name";
    EXPECT_EQ(drives[1].transport, DriveTransport::Usb);
    EXPECT_EQ(asked, (std::vector<std::string>{"0:5", "1:0"})) << "asked of listed drives alone";
}

TEST_F(ProbeFixture, OtherDeviceTypesAndQualifiersAreNotListed) {
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 0, 0x25, kDriveA);  // qualifier 1, type 5
    aspi.AddDevice(0, 1, 0x00, kDriveA);  // disk
    aspi.AddDevice(0, 2, 0x85, kDriveA);  // qualifier 4, type 5
    aspi.AddDevice(0, 3, 0x05, kDriveB);
    const auto drives = ProbeDrives(1, buffer.data());
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].address.target, 3);
    EXPECT_EQ(aspi.RequestCount(), 8u);
}

TEST_F(ProbeFixture, FailedProbesAreSkippedWithoutEndingTheScan) {
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 1, 0x05, kDriveA);
    aspi.AddDevice(0, 2, 0x05, kDriveB);
    aspi.decide = [](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        if (srb.SRB_Target == 1) return SS_ERR;
        return srb.SRB_Target == 2 ? SS_COMP : SS_NO_DEVICE;
    };
    const auto drives = ProbeDrives(1, buffer.data());
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].address.target, 2);
    EXPECT_EQ(aspi.RequestCount(), 8u);
}

TEST_F(ProbeFixture, IdenticalDrivesGiveIdenticalEntries) {
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 0, 0x05, kDriveA);
    aspi.AddDevice(0, 7, 0x05, kDriveA);
    const auto drives = ProbeDrives(1, buffer.data());
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].identity.Entry(), drives[1].identity.Entry());
    EXPECT_EQ(drives[0].address.target, 0);
    EXPECT_EQ(drives[1].address.target, 7);
}

TEST_F(ProbeFixture, ShortIdentificationIsPaddedWithBlanksTo28) {
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 0, 0x05, std::string("SHORT\0TAIL", 10));
    aspi.AddDevice(0, 1, 0x05, std::string());
    const auto drives = ProbeDrives(1, buffer.data());
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].identity.Entry(), "SHORT" + std::string(23, ' '));
    EXPECT_EQ(drives[1].identity.Entry(), std::string(28, ' '));
}

TEST_F(ProbeFixture, AtMostEightDrivesAreListedButEveryPairIsStillAsked) {
    aspi.SetAdapters(2);
    for (int t = 0; t < 8; ++t) aspi.AddDevice(0, t, 0x05, kDriveA);
    aspi.AddDevice(1, 3, 0x05, kDriveB);
    aspi.AddDevice(1, 4, 0x05, kDriveB);
    const auto drives = ProbeDrives(2, buffer.data());
    ASSERT_EQ(drives.size(), 8u);
    for (const auto &drive : drives) EXPECT_EQ(drive.address.adapter, 0);
    EXPECT_EQ(aspi.RequestCount(), 16u);
}

TEST_F(ProbeFixture, AnAnswerLeftOverFromTheLastProbeIsNeverTakenForANewDrive) {
    // Target 1 reports success but sends no data: the bytes of target 0's
    // answer must not make it a second drive.
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 0, 0x05, kDriveA);
    aspi.decide = [](const SRB_ExecSCSICmd &srb, size_t) -> uint8_t {
        return srb.SRB_Target <= 1 ? SS_COMP : SS_NO_DEVICE;
    };
    const auto drives = ProbeDrives(1, buffer.data());
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].address.target, 0);
}

TEST_F(ProbeFixture, ManagerCompletingLaterFromAnotherThreadGivesTheSameList) {
    aspi.SetAdapters(1);
    aspi.AddDevice(0, 4, 0x05, kDriveB);
    aspi.completeLater = true;
    aspi.delayMs = 1;
    const auto drives = ProbeDrives(1, buffer.data());
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].address.target, 4);
    EXPECT_EQ(drives[0].identity.Entry(), kDriveB);
}

TEST_F(ProbeFixture, ADriveBeingWrittenIsAskedNothingAndListedAtItsPlaceAsItsFlashNamesIt) {
    aspi.SetAdapters(2);
    aspi.AddDevice(0, 2, 0x05, kDriveA);
    aspi.AddDevice(0, 6, 0x05, kDriveA);  // its flash says it is the other model, at another revision
    aspi.AddDevice(1, 1, 0x05, kDriveB);
    Drive written;
    written.address = {0, 6};
    written.identity = DriveIdentity::FromBytes(kDriveB);
    layer.deviceTransport = [](uint8_t, uint8_t target) { return target == 6 ? TRANSPORT_ATA : TRANSPORT_USB; };
    const auto drives = ProbeDrives(2, buffer.data(), {written});
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].identity.Entry(), kDriveA);
    EXPECT_EQ(drives[1].address, (DriveAddress{0, 6}));
    EXPECT_EQ(drives[1].identity.Entry(), kDriveB);
    EXPECT_EQ(drives[1].transport, DriveTransport::Ata) << "asked of the manager, which sends the drive nothing";
    EXPECT_EQ(drives[2].address, (DriveAddress{1, 1}));
    const auto requests = aspi.Requests();
    ASSERT_EQ(requests.size(), 15u);
    for (const FakeRequest &request : requests)
        EXPECT_FALSE(request.srb.SRB_HaId == 0 && request.srb.SRB_Target == 6) << "a command to the drive being written";
}

TEST_F(ProbeFixture, NoAdaptersAsksNothing) {
    EXPECT_TRUE(ProbeDrives(0, buffer.data()).empty());
    EXPECT_EQ(aspi.RequestCount(), 0u);
}

}  // namespace
