// GetCommandLineA: the program's path and its arguments joined with single
// blanks, as received. This test binary is started with the arguments
// "first arg" and "UPD.BIN" (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>
#include <string>

#include "platform/win32.h"

TEST(CommandLine, PathFirstThenArgumentsWithSingleBlanksUnquoted) {
    const QStringList arguments = QCoreApplication::arguments();
    ASSERT_GE(arguments.size(), 3);
    const std::string expected = arguments.first().toStdString() + " first arg UPD.BIN";
    EXPECT_EQ(std::string(GetCommandLineA()), expected);
}

TEST(CommandLine, SameTextOnEveryCall) {
    const char *first = GetCommandLineA();
    const char *second = GetCommandLineA();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, second);
    EXPECT_NE(std::strchr(first, ' '), nullptr);
}
