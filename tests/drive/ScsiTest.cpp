// The request block of every command, and the wait for its status, through
// the in-process manager.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "drive/Scsi.h"
#include "tests/support/FakeAspi.h"

namespace {

struct ScsiFixture : ::testing::Test {
    RecorderLayer layer;
    FakeAspi aspi{layer};
    std::array<uint8_t, 65536> data{};
    void SetUp() override {
        aspi.SetAdapters(2);
        aspi.AddDevice(1, 3, 0x05, "QUORVEL CDRW-4824A      1.10");
    }
    FakeRequest Only() {
        const auto requests = aspi.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? FakeRequest{} : requests[0];
    }
};

TEST_F(ScsiFixture, InquiryRequestHasEveryFieldAsTheTableSays) {
    EXPECT_EQ(ExecuteScsiCommand(1, 3, InquiryCommand, 6, data.data(), 36), 1);
    const FakeRequest request = Only();
    // Byte by byte over the whole 88-byte record.
    std::array<uint8_t, sizeof(SRB_ExecSCSICmd)> expected{};
    expected[0] = 0x02;  // SRB_Cmd
    expected[1] = 0x00;  // SRB_Status, pending at submission
    expected[2] = 1;     // SRB_HaId
    expected[3] = 0x08;  // SRB_Flags: SRB_DIR_IN
    expected[8] = 3;     // SRB_Target
    expected[9] = 0;     // SRB_Lun
    expected[12] = 36;   // SRB_BufLen, little-endian
    uint8_t *pointer = data.data();
    std::memcpy(&expected[16], &pointer, sizeof(pointer));
    expected[24] = 14;  // SRB_SenseLen
    expected[25] = 6;   // SRB_CDBLen
    const uint8_t cdb[] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    std::memcpy(&expected[56], cdb, sizeof(cdb));
    EXPECT_EQ(request.record, expected);
    EXPECT_EQ(std::memcmp(data.data(), "\x05", 1), 0);  // the answer arrived
}

TEST_F(ScsiFixture, DownloadCommandGoesOutWithFlags02WhateverByte5Holds) {
    for (uint8_t mark : {0x00, 0xFF, 0x18}) {
        DownloadCommand[5] = mark;
        ExecuteScsiCommand(1, 3, DownloadCommand, 12, data.data(), 65536);
    }
    DownloadCommand[5] = 0;
    const auto requests = aspi.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const uint8_t marks[] = {0x00, 0xFF, 0x18};
    for (size_t i = 0; i < 3; ++i) {
        const SRB_ExecSCSICmd &srb = requests[i].srb;
        EXPECT_EQ(srb.SRB_Flags, 0x02);
        EXPECT_EQ(srb.SRB_CDBLen, 12);
        EXPECT_EQ(srb.SRB_BufLen, 65536u);
        EXPECT_EQ(srb.SRB_SenseLen, 14);
        const uint8_t cdb[16] = {0xFF, 0x00, 0x01, 0x00, 0x00, marks[i]};
        EXPECT_EQ(std::memcmp(srb.CDBByte, cdb, 16), 0);
    }
}

TEST_F(ScsiFixture, OnlyBytes0And2DecideTheFlags) {
    const uint8_t readBack[12] = {0xFF, 0x00, 0x04};  // byte 2 not 0x01
    const uint8_t otherOpcode[12] = {0xFE, 0x00, 0x01};  // byte 0 not 0xFF
    const uint8_t shortDownload[6] = {0xFF, 0x00, 0x01, 0x00, 0x00, 0x00};  // length plays no part
    ExecuteScsiCommand(1, 3, readBack, 12, data.data(), 16);
    ExecuteScsiCommand(1, 3, otherOpcode, 12, data.data(), 16);
    ExecuteScsiCommand(1, 3, shortDownload, 6, data.data(), 16);
    const auto requests = aspi.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].srb.SRB_Flags, 0x08);
    EXPECT_EQ(requests[1].srb.SRB_Flags, 0x08);
    EXPECT_EQ(requests[2].srb.SRB_Flags, 0x02);
}

TEST_F(ScsiFixture, BytesBeyondTheCommandLengthAreZero) {
    uint8_t command[16];
    std::memset(command, 0xEE, sizeof(command));
    command[0] = 0x12;
    ExecuteScsiCommand(1, 3, command, 6, data.data(), 36);
    const FakeRequest request = Only();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(request.srb.CDBByte[i], command[i]);
    for (int i = 6; i < 16; ++i) EXPECT_EQ(request.srb.CDBByte[i], 0) << i;
    for (uint8_t b : request.srb.SenseArea) EXPECT_EQ(b, 0);
    for (uint8_t b : request.srb.SRB_Rsvd2) EXPECT_EQ(b, 0);
    for (size_t i = 28; i < 36; ++i) EXPECT_EQ(request.record[i], 0) << i;  // SRB_PostProc
}

TEST_F(ScsiFixture, FillLeavesTheRestOfThe256ByteBlockZero) {
    std::array<uint8_t, kRequestBlockSize> block;
    block.fill(0xAB);
    FillScsiRequest(block.data(), 0, 7, DownloadCommand, 12, data.data(), 65536);
    for (size_t i = sizeof(SRB_ExecSCSICmd); i < block.size(); ++i) EXPECT_EQ(block[i], 0) << i;
}

TEST_F(ScsiFixture, StatusIsReturnedZeroExtended) {
    EXPECT_EQ(ExecuteScsiCommand(0, 6, InquiryCommand, 6, data.data(), 36), 130);  // SS_NO_DEVICE
    aspi.decide = [](const SRB_ExecSCSICmd &, size_t) -> uint8_t { return 0xE8; };
    EXPECT_EQ(ExecuteScsiCommand(1, 3, InquiryCommand, 6, data.data(), 36), 0xE8);
}

TEST_F(ScsiFixture, ManagerCompletingLaterFromAnotherThreadIsWaitedFor) {
    aspi.completeLater = true;
    aspi.delayMs = 20;
    aspi.decide = [](const SRB_ExecSCSICmd &, size_t) -> uint8_t { return SS_ERR; };
    EXPECT_EQ(ExecuteScsiCommand(1, 3, DownloadCommand, 12, data.data(), 65536), SS_ERR);
}

TEST_F(ScsiFixture, ManagerHeldBackByAGateIsWaitedForUntilItCompletes) {
    aspi.CloseGate();
    std::thread opener([this] {
        while (aspi.RequestCount() == 0) std::this_thread::yield();
        aspi.OpenGate();
    });
    EXPECT_EQ(ExecuteScsiCommand(1, 3, InquiryCommand, 6, data.data(), 36), SS_COMP);
    opener.join();
}

TEST_F(ScsiFixture, NoManagerAnswersAtOnceWithoutHanging) {
    layer.sendCommand = nullptr;
    EXPECT_EQ(ExecuteScsiCommand(1, 3, InquiryCommand, 6, data.data(), 36), SS_NO_ADAPTERS);
}

}  // namespace

TEST_F(ScsiFixture, CommandsOfNoLengthOrOverSixteenBytesAreRefusedAndNothingIsSent) {
    const uint8_t longCommand[17] = {0xFF, 0x00, 0x01};
    EXPECT_EQ(ExecuteScsiCommand(1, 3, nullptr, 6, data.data(), 36), SS_INVALID_CMD);
    EXPECT_EQ(ExecuteScsiCommand(1, 3, InquiryCommand, 0, data.data(), 36), SS_INVALID_CMD);
    EXPECT_EQ(ExecuteScsiCommand(1, 3, longCommand, 17, data.data(), 65536), SS_INVALID_CMD);
    EXPECT_EQ(aspi.RequestCount(), 0u);
}

TEST_F(ScsiFixture, ACommandShorterThanThreeBytesIsNeverReadPastItsEnd) {
    // only byte 0 exists: the flags rule must not look at byte 2
    const uint8_t single[1] = {0xFF};
    EXPECT_EQ(ExecuteScsiCommand(1, 3, single, 1, data.data(), 0), SS_COMP);
    const FakeRequest request = Only();
    EXPECT_EQ(request.srb.SRB_Flags, SRB_DIR_IN);
    EXPECT_EQ(request.srb.SRB_CDBLen, 1);
    EXPECT_EQ(request.srb.CDBByte[0], 0xFF);
    EXPECT_EQ(request.srb.CDBByte[1], 0x00);
}
