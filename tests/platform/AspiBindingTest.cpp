// Binding of the ASPI manager library. The same cases run in three set-ups,
// chosen by the dynamic linker's search path (see CMakeLists.txt): a manager
// with both entry points, a library that lacks SendASPI32Command, and no
// library at all. Only the first counts as a manager.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/aspi.h"

#ifndef EXPECT_MANAGER
#error "EXPECT_MANAGER must be 0 or 1"
#endif

namespace {

SRB_ExecSCSICmd Request(uint8_t opcode, uint8_t *buffer, uint32_t length) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = 1;
    srb.SRB_Target = 5;
    srb.SRB_Flags = SRB_DIR_IN;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = 6;
    srb.CDBByte[0] = opcode;
    return srb;
}

}  // namespace

#if EXPECT_MANAGER

TEST(AspiBinding, SupportInfoComesFromTheManager) {
    EXPECT_EQ(aspi::GetASPI32SupportInfo(), (uint32_t{SS_COMP} << 8) | 2u);
}

TEST(AspiBinding, RequestsReachTheManagerAndItsAnswerComesBack) {
    std::array<uint8_t, 36> data{};
    SRB_ExecSCSICmd inquiry = Request(0x12, data.data(), data.size());
    EXPECT_EQ(aspi::SendASPI32Command(&inquiry), SS_COMP);
    EXPECT_EQ(SrbStatusLoad(&inquiry), SS_COMP);
    EXPECT_EQ(inquiry.SRB_HaStat, 1);
    EXPECT_EQ(inquiry.SRB_TargStat, 5);
    for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i], static_cast<uint8_t>(0x12 ^ i)) << i;

    std::array<uint8_t, 4> none{};
    SRB_ExecSCSICmd download = Request(0xFF, none.data(), none.size());
    EXPECT_EQ(aspi::SendASPI32Command(&download), SS_ERR);
    EXPECT_EQ(SrbStatusLoad(&download), SS_ERR);
}

TEST(AspiBinding, FirstUseFromManyThreadsBindsOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> right{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&right] {
            std::array<uint8_t, 8> data{};
            SRB_ExecSCSICmd srb = Request(0x12, data.data(), data.size());
            if (aspi::SendASPI32Command(&srb) == SS_COMP && aspi::GetASPI32SupportInfo() == 0x0102u) ++right;
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(right.load(), 8);
}

#else

TEST(AspiBinding, NoManagerReadsAsNoAdapters) {
    EXPECT_EQ(aspi::GetASPI32SupportInfo(), 0u);
    // Asked again, still none: the library is looked for once.
    EXPECT_EQ(aspi::GetASPI32SupportInfo(), 0u);
}

TEST(AspiBinding, NoManagerCompletesEveryRequestAtOnceWithNoAdapters) {
    std::array<uint8_t, 36> data{};
    SRB_ExecSCSICmd srb = Request(0x12, data.data(), data.size());
    EXPECT_EQ(aspi::SendASPI32Command(&srb), SS_NO_ADAPTERS);
    EXPECT_EQ(SrbStatusLoad(&srb), SS_NO_ADAPTERS);
    // Nothing was written into the data buffer or the record's other fields.
    EXPECT_EQ(data, (std::array<uint8_t, 36>{}));
    EXPECT_EQ(srb.SRB_HaStat, 0);
    EXPECT_EQ(srb.SRB_TargStat, 0);
}

TEST(AspiBinding, NoManagerFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> right{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&right] {
            SRB_ExecSCSICmd srb = Request(0x12, nullptr, 0);
            if (aspi::SendASPI32Command(&srb) == SS_NO_ADAPTERS && aspi::GetASPI32SupportInfo() == 0u) ++right;
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(right.load(), 8);
}

#endif
