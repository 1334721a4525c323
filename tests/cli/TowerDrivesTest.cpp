// Which drives a tower writes, and its exit status.
#include <gtest/gtest.h>

#include "cli/TowerDrives.h"

namespace {
Drive At(int adapter, int target, const char *identification) {
    Drive drive;
    drive.address = {static_cast<uint8_t>(adapter), static_cast<uint8_t>(target)};
    drive.identity = DriveIdentity::FromBytes(identification);
    return drive;
}
const char kImageModel[] = "QUORVEL CDRW-4824A      ";
}  // namespace

TEST(TowerDrives, EveryDriveGivenIsFoundAndOfTheModelOrRefusedWithWhy) {
    const std::vector<Drive> found = {At(0, 1, "QUORVEL CDRW-4824A      1.10"),
                                      At(1, 1, "QUORVEL DVDRW-1612B     2.04"),
                                      At(1, 2, "QUORVEL CDRW-4824A      1.00")};
    std::string others;
    const auto given = ChooseTowerDrives(found, {{1, 2}, {3, 3}, {1, 1}}, false, kImageModel, &others);
    ASSERT_EQ(given.size(), 3u);
    EXPECT_EQ(given[0].drive.address, (DriveAddress{1, 2}));
    EXPECT_EQ(given[0].outcome.ending, FlashEnding::Pending);
    EXPECT_EQ(given[0].drive.identity.revision, "1.00");
    EXPECT_EQ(given[1].drive.address, (DriveAddress{3, 3}));
    EXPECT_EQ(given[1].outcome.ending, FlashEnding::NotWritten);
    EXPECT_EQ(given[1].outcome.why, "Drive Not Found!! There is no CD/DVD drive at 3:3.");
    EXPECT_EQ(given[2].outcome.ending, FlashEnding::NotWritten);
    EXPECT_EQ(given[2].outcome.why, "Different Model !! The image is for QUORVEL CDRW-4824A.");
    EXPECT_TRUE(others.empty());

    const auto all = ChooseTowerDrives(found, {}, true, kImageModel, &others);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].drive.address, (DriveAddress{0, 1}));
    EXPECT_EQ(all[1].drive.address, (DriveAddress{1, 2}));
    EXPECT_EQ(others, "1:1 QUORVEL DVDRW-1612B");
}

TEST(TowerDrives, TheStatusIsTwoWhenNothingWasSentZeroWhenEveryDriveAcceptedOneOtherwise) {
    using E = FlashEnding;
    const auto outcome = [](E ending, int block = 7) {
        DriveOutcome o;
        o.outcome.ending = ending;
        o.outcome.block = block;
        return o;
    };
    EXPECT_EQ(TowerStatus({outcome(E::Accepted), outcome(E::Accepted)}), 0);
    EXPECT_EQ(TowerStatus({outcome(E::Accepted), outcome(E::NotWritten, 0)}), 1);
    EXPECT_EQ(TowerStatus({outcome(E::Accepted), outcome(E::CutOff, 3)}), 1);
    EXPECT_EQ(TowerStatus({outcome(E::Refused, 3), outcome(E::NotWritten, 0)}), 1);
    EXPECT_EQ(TowerStatus({outcome(E::Gone, 1), outcome(E::NotWritten, 0)}), 1) << "a drive gone at its first block";
    EXPECT_EQ(TowerStatus({outcome(E::NotWritten, 0), outcome(E::Refused, 0)}), 2) << "a transfer never started";
}
