// Which drives a tower writes, and its exit status.
#include <gtest/gtest.h>

#include "cli/TowerDrives.h"

namespace {
ProbedDrive At(int adapter, int target, const char *identification) {
    return {static_cast<uint8_t>(adapter), static_cast<uint8_t>(target), identification};
}
const char kImageModel[] = "QUORVEL CDRW-4824A      ";
}  // namespace

TEST(TowerDrives, EveryDriveGivenIsFoundAndOfTheModelOrRefusedWithWhy) {
    const std::vector<ProbedDrive> found = {At(0, 1, "QUORVEL CDRW-4824A      1.10"),
                                            At(1, 1, "QUORVEL DVDRW-1612B     2.04"),
                                            At(1, 2, "QUORVEL CDRW-4824A      1.00")};
    std::string others;
    const auto given = ChooseTowerDrives(found, {{1, 2}, {3, 3}, {1, 1}}, false, kImageModel, &others);
    ASSERT_EQ(given.size(), 3u);
    EXPECT_EQ(given[0].outcome.address, "1:2");
    EXPECT_EQ(given[0].outcome.result, DriveOutcome::Result::Pending);
    EXPECT_EQ(given[0].outcome.oldVersion, "1.00");
    EXPECT_EQ(given[1].outcome.result, DriveOutcome::Result::RefusedBefore);
    EXPECT_EQ(given[1].outcome.why, "Drive Not Found!! There is no CD/DVD drive at 3:3.");
    EXPECT_EQ(given[2].outcome.result, DriveOutcome::Result::RefusedBefore);
    EXPECT_EQ(given[2].outcome.why, "Different Model !! The image is for QUORVEL CDRW-4824A.");
    EXPECT_TRUE(others.empty());

    const auto all = ChooseTowerDrives(found, {}, true, kImageModel, &others);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].outcome.address, "0:1");
    EXPECT_EQ(all[1].outcome.address, "1:2");
    EXPECT_EQ(others, "1:1 QUORVEL DVDRW-1612B");
}

TEST(TowerDrives, TheStatusIsTwoWhenNothingWasSentZeroWhenEveryDriveAcceptedOneOtherwise) {
    using R = DriveOutcome::Result;
    const auto outcome = [](R result, int block = 7) {
        DriveOutcome o;
        o.result = result;
        o.block = block;
        return o;
    };
    EXPECT_EQ(TowerStatus({outcome(R::Accepted), outcome(R::Accepted)}), 0);
    EXPECT_EQ(TowerStatus({outcome(R::Accepted), outcome(R::RefusedBefore, 0)}), 1);
    EXPECT_EQ(TowerStatus({outcome(R::Accepted), outcome(R::Lost, 3)}), 1);
    EXPECT_EQ(TowerStatus({outcome(R::Refused, 3), outcome(R::RefusedBefore, 0)}), 1);
    EXPECT_EQ(TowerStatus({outcome(R::RefusedBefore, 0), outcome(R::Refused, 0)}), 2) << "a transfer never started";
}
