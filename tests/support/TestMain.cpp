// gtest main with a QApplication, so that window tests can create widgets.
// The windows are offscreen unless the caller chose a platform: test
// discovery at build time runs these binaries too, where there may be no
// display at all.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
