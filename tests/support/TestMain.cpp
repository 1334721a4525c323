// gtest main with a QApplication, so that window tests can create widgets.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
