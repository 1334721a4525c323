#include <gtest/gtest.h>

#include <vector>

#include "app/Progress.h"

TEST(ProgressRule, DivisorByBlockCount) {
    EXPECT_EQ(ProgressDivisor(0), 3);
    EXPECT_EQ(ProgressDivisor(1), 3);
    EXPECT_EQ(ProgressDivisor(2), 4);
    EXPECT_EQ(ProgressDivisor(4), 8);
    EXPECT_EQ(ProgressDivisor(8), 24);
    EXPECT_EQ(ProgressDivisor(16), 88);
    EXPECT_EQ(ProgressDivisor(32), 344);
    EXPECT_EQ(ProgressDivisor(255), 21678);
}

TEST(ProgressRule, FirstTicksByBlockCount) {
    struct Row {
        int32_t count;
        std::vector<int32_t> bar;
    };
    const Row rows[] = {
        {1, {0, 33, 66, 100}},
        {2, {0, 25, 50, 75, 100}},
        {4, {0, 12, 25, 37, 50}},
        {8, {0, 4, 8, 12, 16}},
        {16, {0, 1, 2, 3, 4, 5, 6, 7, 9}},
        {32, {0, 0, 0, 0, 1}},
    };
    for (const Row &row : rows) {
        for (size_t n = 0; n < row.bar.size(); ++n) {
            EXPECT_EQ(ProgressPosition(static_cast<int32_t>(n), row.count), row.bar[n])
                << "count " << row.count << " tick " << n + 1;
        }
    }
}

TEST(ProgressRule, BarIsFullExactlyOnTickDPlusOne) {
    for (int32_t count = 0; count <= 255; ++count) {
        const int32_t d = ProgressDivisor(count);
        EXPECT_LT(ProgressPosition(d - 1, count), 100) << count;
        EXPECT_EQ(ProgressPosition(d, count), 100) << count;
    }
}

// A flash found under way: 7 blocks accepted one by one show 14, 28, 42, 57,
// 71, 85 (n * 100 / 7); with the final block out, the last 15 of the bar (100
// - 85) fill as the time rule goes (D = 19 for 7 blocks: 0, 5, 10, 15, 21, ...
// on the ticks, each times 15 / 100), and 100 from the tick the rule is full.
TEST(ProgressRule, AFlashFoundUnderWayShowsItsBlocksThenTheFinalBlocksShareByTime) {
    const int32_t blocks[] = {0, 14, 28, 42, 57, 71, 85};
    for (int32_t accepted = 0; accepted < 7; ++accepted)
        EXPECT_EQ(FollowedProgressPosition(accepted, 7, false, 0), blocks[accepted]) << accepted;
    const int32_t ticks[] = {85, 85, 86, 87, 88, 88, 89, 90, 91, 92, 92, 93, 94, 95, 95, 96, 97, 98, 99, 100, 100};
    for (int32_t tick = 0; tick <= 20; ++tick)
        EXPECT_EQ(FollowedProgressPosition(6, 7, true, tick), ticks[tick]) << "tick " << tick + 1;
    EXPECT_EQ(FollowedProgressPosition(0, 1, true, 0), 0) << "one block: all of the bar is the final's";
    EXPECT_EQ(FollowedProgressPosition(0, 0, false, 5), 0) << "no blocks: nothing to show";
}
