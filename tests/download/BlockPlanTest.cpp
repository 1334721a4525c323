#include <gtest/gtest.h>

#include <tuple>

#include "image/BlockPlan.h"

namespace {
constexpr int32_t KiB = 1024;

void ExpectContiguous(const BlockPlan &plan, int32_t imageSize) {
    int32_t next = 0;
    for (const BlockStep &step : plan.steps) {
        EXPECT_EQ(step.offset, next);
        next += step.length;
    }
    EXPECT_EQ(next, imageSize) << "the blocks must cover the whole file, trailer included";
}
}  // namespace

TEST(BlockPlan, SevenBlocksOfSixtyKbInA384KbImage) {
    const BlockPlan plan = MakeBlockPlan(384 * KiB, 60, 7);
    ASSERT_EQ(plan.verdict, PlanVerdict::Ok);
    ASSERT_EQ(plan.steps.size(), 7u);
    const uint8_t marks[6] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(plan.steps[i].offset, i * 61440) << i;
        EXPECT_EQ(plan.steps[i].length, 61440) << i;
        EXPECT_EQ(plan.steps[i].byte5, marks[i]) << i;
    }
    EXPECT_EQ(plan.steps[6].offset, 6 * 61440);
    EXPECT_EQ(plan.steps[6].length, 24576);
    EXPECT_EQ(plan.steps[6].byte5, 24);
    ExpectContiguous(plan, 384 * KiB);
}

TEST(BlockPlan, OneBlockIsTheWholeFileMarkedWithItsKbCount) {
    const BlockPlan plan = MakeBlockPlan(200 * KiB + 100, 60, 1);
    ASSERT_EQ(plan.verdict, PlanVerdict::Ok);
    ASSERT_EQ(plan.steps.size(), 1u);
    EXPECT_EQ(plan.steps[0].offset, 0);
    EXPECT_EQ(plan.steps[0].length, 200 * KiB + 100);
    EXPECT_EQ(plan.steps[0].byte5, 200);  // a fraction of a KiB does not count
}

TEST(BlockPlan, TwoBlocksHaveOneFirstAndOneFinal) {
    const BlockPlan plan = MakeBlockPlan(100 * KiB, 64, 2);
    ASSERT_EQ(plan.verdict, PlanVerdict::Ok);
    ASSERT_EQ(plan.steps.size(), 2u);
    EXPECT_EQ(plan.steps[0].byte5, 0x00);
    EXPECT_EQ(plan.steps[0].length, 64 * KiB);
    EXPECT_EQ(plan.steps[1].length, 36 * KiB);
    EXPECT_EQ(plan.steps[1].byte5, 36);
}

TEST(BlockPlan, FinalBlockOf256KbOrMoreKeepsTheLow8BitsOfItsKbCount) {
    EXPECT_EQ(MakeBlockPlan(60 * KiB + 300 * KiB, 60, 2).steps.back().byte5, 44);
    EXPECT_EQ(MakeBlockPlan(256 * KiB, 60, 1).steps.back().byte5, 0);
    EXPECT_EQ(MakeBlockPlan(255 * KiB + 1023, 60, 1).steps.back().byte5, 255);
}

TEST(BlockPlan, OneMbAnd48BytesInSeventeenBlocks) {
    const BlockPlan plan = MakeBlockPlan(1024 * KiB + 48, 60, 17);
    ASSERT_EQ(plan.verdict, PlanVerdict::Ok);
    ASSERT_EQ(plan.steps.size(), 17u);
    EXPECT_EQ(plan.steps[16].offset, 16 * 61440);
    EXPECT_EQ(plan.steps[16].length, 65584);
    EXPECT_EQ(plan.steps[16].byte5, 64);
    ExpectContiguous(plan, 1024 * KiB + 48);
}

TEST(BlockPlan, TrailersThatDoNotFitTheFileAreRefused) {
    EXPECT_EQ(MakeBlockPlan(100 * KiB, 60, 0).verdict, PlanVerdict::NoBlocks);
    EXPECT_EQ(MakeBlockPlan(100 * KiB, 60, -1).verdict, PlanVerdict::NoBlocks);
    EXPECT_EQ(MakeBlockPlan(100 * KiB, 0, 2).verdict, PlanVerdict::EmptyBlocks);
    // the non-final blocks end beyond the end of the file: a final length below zero
    EXPECT_EQ(MakeBlockPlan(100 * KiB, 60, 7).verdict, PlanVerdict::FileTooShort);
    EXPECT_EQ(MakeBlockPlan(100 * KiB, 255, 255).verdict, PlanVerdict::FileTooShort);
    // the final block must fit the 512 KiB buffer, and does when it is exactly that
    EXPECT_EQ(MakeBlockPlan(512 * KiB + 1, 60, 1).verdict, PlanVerdict::BlockTooLong);
    EXPECT_EQ(MakeBlockPlan(60 * KiB + 600 * KiB, 60, 2).verdict, PlanVerdict::BlockTooLong);
    EXPECT_EQ(MakeBlockPlan(512 * KiB, 60, 1).verdict, PlanVerdict::Ok);
    // a refused plan carries no steps that a caller could send by mistake
    EXPECT_TRUE(MakeBlockPlan(100 * KiB, 60, 0).steps.empty());
    EXPECT_TRUE(MakeBlockPlan(512 * KiB + 1, 60, 1).steps.empty());
}

TEST(BlockPlan, NonFinalBlocksThatTakeTheWholeFileLeaveAnEmptyFinalBlock) {
    // 64 KiB blocks, and 32 KiB x 9 at 256 KiB: what the autorun size rule expects
    for (const auto &[size, kb, count] : {std::tuple{256 * KiB, 64, 5}, std::tuple{256 * KiB, 32, 9},
                                          std::tuple{120 * KiB, 60, 3}}) {
        const BlockPlan plan = MakeBlockPlan(size, kb, count);
        ASSERT_EQ(plan.verdict, PlanVerdict::Ok) << size << " " << kb << " " << count;
        ASSERT_EQ(plan.steps.size(), static_cast<size_t>(count));
        EXPECT_EQ(plan.steps.back().offset, size);
        EXPECT_EQ(plan.steps.back().length, 0);
        EXPECT_EQ(plan.steps.back().byte5, 0);
        ExpectContiguous(plan, size);
    }
}

TEST(BlockPlan, BlockSizeZeroIsFineForASingleBlock) {
    const BlockPlan plan = MakeBlockPlan(10 * KiB, 0, 1);
    ASSERT_EQ(plan.verdict, PlanVerdict::Ok);
    EXPECT_EQ(plan.steps[0].length, 10 * KiB);
}

TEST(BlockPlan, EveryValidPlanCoversTheFileAndStaysInTheBuffer) {
    for (int32_t count = 1; count <= 255; count += 7) {
        for (int32_t kb = 1; kb <= 255; kb += 13) {
            for (int32_t extra : {1, 1023, 1024, 48, 65584, 300 * KiB}) {
                const int32_t size = (count - 1) * kb * KiB + extra;
                const BlockPlan plan = MakeBlockPlan(size, kb, count);
                if (plan.verdict != PlanVerdict::Ok) {
                    EXPECT_GT(extra, 512 * KiB - 1) << size << " " << kb << " " << count;
                    continue;
                }
                ASSERT_EQ(plan.steps.size(), static_cast<size_t>(count));
                ExpectContiguous(plan, size);
                for (size_t i = 0; i + 1 < plan.steps.size(); ++i) {
                    EXPECT_EQ(plan.steps[i].byte5, i == 0 ? 0x00 : 0xFF);
                    EXPECT_LE(plan.steps[i].length, 524288);
                }
                EXPECT_LE(plan.steps.back().length, 524288);
                EXPECT_EQ(plan.steps.back().byte5, static_cast<uint8_t>(size / KiB - (count - 1) * kb));
            }
        }
    }
}
