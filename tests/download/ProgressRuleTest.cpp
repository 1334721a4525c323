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
