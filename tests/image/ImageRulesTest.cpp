// The image rules as plain functions: the model match, both forms of the
// last-block figure, the size rule, the display name and the command-line name.
#include <gtest/gtest.h>

#include "image/ImageRules.h"
#include "image/Trailer.h"

TEST(ModelMatch, TwentyFourBytesEqualBlanksAndCaseIncluded) {
    const char drive[] = "QUORVEL CDRW-4824A      ";
    EXPECT_TRUE(ModelMatches(drive, "QUORVEL CDRW-4824A      "));
    EXPECT_FALSE(ModelMatches(drive, "quorvel cdrw-4824a      "));  // letter case
    EXPECT_FALSE(ModelMatches(drive, "QUORVEL CDRW-4824A     \0"));  // a trailing blank short
    EXPECT_FALSE(ModelMatches(drive, "QUORVEL CDRW-4824B      "));  // the last byte
    // What follows the 24 bytes (the revision) plays no part.
    EXPECT_TRUE(ModelMatches("QUORVEL CDRW-4824A      1.10", "QUORVEL CDRW-4824A      1.20"));
}

TEST(LastBlockKb, OpenFormWorksFromTheFileSizeAndKeepsTheLowEightBits) {
    EXPECT_EQ(LastBlockKbFromSize(262144, 32, 5), 128);
    EXPECT_EQ(LastBlockKbFromSize(524288, 32, 9), 0);  // 512 - 256 = 256 wraps
    // A fraction of a KiB at the end does not count.
    EXPECT_EQ(LastBlockKbFromSize(1024 * 1024 + 48, 60, 17), 64);
    EXPECT_EQ(LastBlockKbFromSize(300 * 1024, 0, 1), 44);  // 300 mod 256
    // BlockCount 0 adds one block size; a negative result keeps its low 8 bits.
    EXPECT_EQ(LastBlockKbFromSize(10 * 1024, 32, 0), 42);
    EXPECT_EQ(LastBlockKbFromSize(10 * 1024, 32, 2), static_cast<uint8_t>(-22));
    EXPECT_EQ(LastBlockKbFromSize(2147483647, 255, 255), static_cast<uint8_t>(2097151 - 254 * 255));
}

TEST(LastBlockKb, AutorunFormWorksFromTheTrailerAlone) {
    EXPECT_EQ(LastBlockKbFromTrailer(32, 5), 128);
    EXPECT_EQ(LastBlockKbFromTrailer(32, 9), 0);
    EXPECT_EQ(LastBlockKbFromTrailer(64, 1), 0);
    EXPECT_EQ(LastBlockKbFromTrailer(64, 200), 0);
    EXPECT_EQ(LastBlockKbFromTrailer(60, 7), 24);
    EXPECT_EQ(LastBlockKbFromTrailer(32, 0), static_cast<uint8_t>(-32));  // count - 1 is -1
    EXPECT_EQ(LastBlockKbFromTrailer(255, 2), static_cast<uint8_t>(-191));
    EXPECT_EQ(LastBlockKbFromTrailer(0, 255), static_cast<uint8_t>(64 * 254));
}

TEST(SizeRule, ExactEqualityWithTheWrappedLastBlock) {
    EXPECT_TRUE(ImageSizeMatchesTrailer(262144, 32, 5));
    EXPECT_FALSE(ImageSizeMatchesTrailer(262144 + 1, 32, 5));
    EXPECT_FALSE(ImageSizeMatchesTrailer(262144 - 1024, 32, 5));
    // 32 and 9: the product 256 wraps to 0, so 262144 passes and 524288 fails.
    EXPECT_TRUE(ImageSizeMatchesTrailer(262144, 32, 9));
    EXPECT_FALSE(ImageSizeMatchesTrailer(524288, 32, 9));
    // 64 KiB blocks: exactly 64 KiB x (count - 1).
    for (int n = 1; n <= 255; ++n) {
        EXPECT_TRUE(ImageSizeMatchesTrailer(65536 * (n - 1), 64, n)) << n;
        EXPECT_FALSE(ImageSizeMatchesTrailer(65536 * n, 64, n)) << n;
    }
    // Where the product stays in 0..255 the rule means 64 KiB x (count - 1).
    EXPECT_TRUE(ImageSizeMatchesTrailer(65536 * 6, 60, 7));
    // Beyond 64 KiB blocks the figure wraps too: 100 KiB x 3 gives -72 -> 184.
    EXPECT_TRUE(ImageSizeMatchesTrailer(100 * 1024 * 2 + 184 * 1024, 100, 3));
}

TEST(DisplayName, TextAfterTheLastSeparatorWithAToZUpperCased) {
    EXPECT_EQ(DisplayName("c:\\fw\\image1.bin"), "IMAGE1.BIN");
    EXPECT_EQ(DisplayName("/home/u/fw/image1.bin"), "IMAGE1.BIN");
    EXPECT_EQ(DisplayName("c:image1.bin"), "IMAGE1.BIN");
    EXPECT_EQ(DisplayName("image1.bin"), "IMAGE1.BIN");
    EXPECT_EQ(DisplayName("/a\\b:c/d-e_f~1.Bin"), "D-E_F~1.BIN");
    // Only a to z change: digits, punctuation and bytes beyond ASCII stay.
    EXPECT_EQ(DisplayName("/x/\xc3\xa9t\xc3\xa9 1.bin"), "\xc3\xa9T\xc3\xa9 1.BIN");
    EXPECT_EQ(DisplayName("/x/"), "");
}

TEST(CommandLineName, TextAfterTheFirstBlankCutToTenAndUpperCased) {
    EXPECT_EQ(CommandLineName("/usr/bin/quorvel fw.bin"), "FW.BIN");
    EXPECT_EQ(CommandLineName("/usr/bin/quorvel firmware01.bin"), "FIRMWARE01");
    EXPECT_EQ(CommandLineName("/usr/bin/quorvel"), "");
    EXPECT_EQ(CommandLineName("/usr/bin/quorvel "), "");  // the first blank is the last character
    EXPECT_EQ(CommandLineName(""), "");
    EXPECT_EQ(CommandLineName(nullptr), "");
    // A blank inside the program's own path, unquoted, counts like any other.
    EXPECT_EQ(CommandLineName("/opt/my tools/quorvel fw.bin"), "TOOLS/QUOR");
    // Further blanks belong to the name; tabs, and quotes that do not open
    // the line, mean nothing.
    EXPECT_EQ(CommandLineName("q a b"), "A B");
    EXPECT_EQ(CommandLineName("q\tx \"fw.bin\""), "\"FW.BIN\"");
    EXPECT_EQ(CommandLineName("q\tfw.bin"), "");
}

TEST(CommandLineName, AQuotedPathIsSkippedWholeBlanksAndAll) {
    EXPECT_EQ(CommandLineName("\"/opt/my tools/quorvel\" fw.bin"), "FW.BIN");
    EXPECT_EQ(CommandLineName("\"/opt/my tools/quorvel\" \"fw 1.bin\""), "\"FW 1.BIN\"");
    EXPECT_EQ(CommandLineName("\"/opt/my tools/quorvel\""), "");
    EXPECT_EQ(CommandLineName("\"/opt/my tools/quorvel\" "), "");
    // The blank right after the closing quote, not one inside the name.
    EXPECT_EQ(CommandLineName("\"/a b/q\"x y"), "Y");
    // No closing quote: all of it is the path.
    EXPECT_EQ(CommandLineName("\"/opt/my tools/quorvel fw.bin"), "");
}

TEST(TrailerOffset, NearPositionUnlessTheFirstByteIsFF) {
    EXPECT_EQ(TrailerOffset(48, 0x00), 0);
    EXPECT_EQ(TrailerOffset(47, 0x00), -1);
    EXPECT_EQ(TrailerOffset(262144, 'Q'), 262096);
    EXPECT_EQ(TrailerOffset(262144, 0xFF), 262144 - 65584);
    EXPECT_EQ(TrailerOffset(65584, 0xFF), 0);
    EXPECT_EQ(TrailerOffset(65583, 0xFF), -1);
    EXPECT_EQ(TrailerOffset(65583, 0xFE), 65535);
}
