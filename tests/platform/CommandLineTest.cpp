// GetCommandLineA: the program's path and its arguments joined with single
// blanks, as the system handed them to the process. This test binary is
// started with the arguments "first arg", "-reverse" and "UPD.BIN" (see
// CMakeLists.txt), after the test runner's own options.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>
#include <string>

#include "platform/CommandLine.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"

TEST(CommandLine, PathFirstThenArgumentsWithSingleBlanksUnquoted) {
    const std::string line = GetCommandLineA();
    const std::string tail = " first arg -reverse UPD.BIN";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    // the path as the process was started with it
    EXPECT_EQ(line.rfind(std::string(QCoreApplication::arguments().first().toStdString()), 0), 0u) << line;
}

TEST(CommandLine, ArgumentsTheToolkitTakesForItsOwnStayInTheLine) {
    // The toolkit's application object has taken -reverse as its own option:
    // the command line must still hold it, since its text after the first
    // blank names an image and nothing in it is an option of the toolkit's.
    EXPECT_FALSE(QCoreApplication::arguments().contains(QStringLiteral("-reverse")));
    EXPECT_NE(std::string(GetCommandLineA()).find(" -reverse "), std::string::npos);
}

TEST(CommandLine, SameTextOnEveryCall) {
    const char *first = GetCommandLineA();
    const char *second = GetCommandLineA();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, second);
    EXPECT_NE(std::strchr(first, ' '), nullptr);
}

TEST(CommandLine, APathWithABlankIsQuotedAsWindowsQuotesItAndNothingElseIs) {
    using qtlayer::WindowsCommandLine;
    EXPECT_EQ(WindowsCommandLine({"/opt/my tools/quorvel", "fw.bin"}), "\"/opt/my tools/quorvel\" fw.bin");
    EXPECT_EQ(WindowsCommandLine({"/opt/my tools/quorvel"}), "\"/opt/my tools/quorvel\"");
    // Arguments are the user's text: never quoted, whatever they hold.
    EXPECT_EQ(WindowsCommandLine({"/usr/bin/quorvel", "first arg", "x"}), "/usr/bin/quorvel first arg x");
    EXPECT_EQ(WindowsCommandLine({"/a\tb/quorvel", "\"fw.bin\""}), "/a\tb/quorvel \"fw.bin\"");
    EXPECT_EQ(WindowsCommandLine({"q", "", "x"}), "q  x");
    EXPECT_EQ(WindowsCommandLine({}), "");
}
