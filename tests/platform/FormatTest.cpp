// wsprintfA: the program's own formats, the figures at their limits, the
// flags it knows, what it does not know, and the 1024-character limit.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

// A buffer with a guard area after the 1025 bytes the call may write.
struct Out {
    char bytes[1025 + 64];
    Out() { std::memset(bytes, 0x5A, sizeof bytes); }
    std::string Text() const { return bytes; }
    bool GuardIntact() const {
        for (size_t i = 1025; i < sizeof bytes; ++i)
            if (bytes[i] != 0x5A) return false;
        return true;
    }
};

}  // namespace

TEST(Format, OpenReportOfTheProgram) {
    Out out;
    const int n = wsprintfA(out.bytes, "File Open OK !!\n%ub %dKb %dCmd", 32768u, 128, 5);
    EXPECT_EQ(out.Text(), "File Open OK !!\n32768b 128Kb 5Cmd");
    EXPECT_EQ(n, static_cast<int>(std::strlen("File Open OK !!\n32768b 128Kb 5Cmd")));
}

TEST(Format, AutorunPromptOfTheProgram) {
    Out out;
    const int n = wsprintfA(out.bytes, "File Open OK !!\n(%ub %dKb %dCmd)\n\n DOWNLOAD START !!", 61440u, 24, 7);
    EXPECT_EQ(out.Text(), "File Open OK !!\n(61440b 24Kb 7Cmd)\n\n DOWNLOAD START !!");
    EXPECT_EQ(n, static_cast<int>(out.Text().size()));
}

TEST(Format, SignedAndUnsignedLimits) {
    Out out;
    wsprintfA(out.bytes, "%d|%d|%i|%d", -5, 0, -2147483647 - 1, INT_MAX);
    EXPECT_EQ(out.Text(), "-5|0|-2147483648|2147483647");
    wsprintfA(out.bytes, "%u|%u|%u", 0xFFFFFFFFu, 0u, 0x80000000u);
    EXPECT_EQ(out.Text(), "4294967295|0|2147483648");
    // The same bits read as signed and as unsigned.
    wsprintfA(out.bytes, "%d %u", -1, static_cast<unsigned>(-1));
    EXPECT_EQ(out.Text(), "-1 4294967295");
}

TEST(Format, HexTextCharacterAndPercent) {
    Out out;
    wsprintfA(out.bytes, "%x %X %x %#x", 0xBEEFu, 0xBEEFu, 0u, 0xffu);
    EXPECT_EQ(out.Text(), "beef BEEF 0 0xff");
    wsprintfA(out.bytes, "[%s] [%c] 100%%", "DRIVE", 'Q');
    EXPECT_EQ(out.Text(), "[DRIVE] [Q] 100%");
    wsprintfA(out.bytes, "[%s]", static_cast<const char *>(nullptr));
    EXPECT_EQ(out.Text(), "[(null)]");
}

TEST(Format, WidthZeroPadLeftAlignAndLongPrefix) {
    Out out;
    wsprintfA(out.bytes, "[%5d][%-5d][%05d][%05d]", 42, 42, 42, -42);
    EXPECT_EQ(out.Text(), "[   42][42   ][00042][-0042]");
    wsprintfA(out.bytes, "[%08X][%-4x][%2u]", 0x1A2Bu, 0xAu, 12345u);
    EXPECT_EQ(out.Text(), "[00001A2B][a   ][12345]");
    wsprintfA(out.bytes, "[%6s][%-6s][%.3s][%3c]", "ab", "ab", "abcdef", 'z');
    EXPECT_EQ(out.Text(), "[    ab][ab    ][abc][  z]");
    // l is the 32-bit long of the system the formats were written for.
    wsprintfA(out.bytes, "%lu %ld %lx %li", 4000000000u, -7, 0xCAFEu, 12);
    EXPECT_EQ(out.Text(), "4000000000 -7 cafe 12");
    wsprintfA(out.bytes, "[%-05d]", 3);
    EXPECT_EQ(out.Text(), "[3    ]");
}

TEST(Format, UnknownConversionsAreCopiedAndTakeNoArgument) {
    Out out;
    // %f, %p, %n and %S are not conversions of this call: they appear as
    // written and the next figure still goes to the next %d.
    const int n = wsprintfA(out.bytes, "%f %p %n %S %d", 7);
    EXPECT_EQ(out.Text(), "%f %p %n %S 7");
    EXPECT_EQ(n, 13);
    wsprintfA(out.bytes, "%5.2q|%d", 9);
    EXPECT_EQ(out.Text(), "%5.2q|9");
    // A lone % at the end is copied too.
    wsprintfA(out.bytes, "50%");
    EXPECT_EQ(out.Text(), "50%");
}

TEST(Format, OutputIsCutAt1024Characters) {
    Out out;
    const std::string longText(2000, 'x');
    int n = wsprintfA(out.bytes, "%s", longText.c_str());
    EXPECT_EQ(n, 1024);
    EXPECT_EQ(out.Text(), std::string(1024, 'x'));
    EXPECT_TRUE(out.GuardIntact());

    // Cut in the middle of a figure and of the padding.
    const std::string head(1020, 'h');
    n = wsprintfA(out.bytes, "%s%d", head.c_str(), 123456789);
    EXPECT_EQ(n, 1024);
    EXPECT_EQ(out.Text(), head + "1234");
    EXPECT_TRUE(out.GuardIntact());

    n = wsprintfA(out.bytes, "%1024d|%d", 1, 2);
    EXPECT_EQ(n, 1024);
    EXPECT_EQ(out.Text(), std::string(1023, ' ') + "1");
    EXPECT_TRUE(out.GuardIntact());

    n = wsprintfA(out.bytes, "%99999999999999999999d|%-99999d", 1, 2);
    EXPECT_EQ(n, 1024);
    EXPECT_EQ(out.Text(), std::string(1024, ' '));
    EXPECT_TRUE(out.GuardIntact());

    const std::string exact(1024, 'e');
    n = wsprintfA(out.bytes, exact.c_str());
    EXPECT_EQ(n, 1024);
    EXPECT_EQ(out.bytes[1024], '\0');
    EXPECT_TRUE(out.GuardIntact());
}

TEST(Format, EmptyFormat) {
    Out out;
    EXPECT_EQ(wsprintfA(out.bytes, ""), 0);
    EXPECT_EQ(out.bytes[0], '\0');
}
