// ReadImageTrailer: the position rule, what it publishes, and every file it
// must refuse without leaving an earlier trailer to be taken for the new one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "state/SharedState.h"
#include "image/Trailer.h"
#include "platform/win32.h"
#include "tests/image/ImageFiles.h"

namespace {
const std::string kModel = "ALPHA   CD-R ONE        ";  // 24
const std::string kOther = "BETA    DVD-RW TWO      ";

std::string Trailer() { return std::string(reinterpret_cast<const char *>(ImageTrailer), 30); }

struct TrailerFixture : ::testing::Test {
    TempDir dir;
    // A good image read first, so that a refusal can be seen to publish nothing.
    void LoadGood() {
        WriteImage(dir / "good.bin", kModel, "1.00", 32, 5, 262144);
        ASSERT_TRUE(ReadImageTrailer((dir / "good.bin").c_str()));
        ASSERT_EQ(ImageSize, 262144);
    }
    void ExpectRefused(const std::string &path, TrailerFailure expected) {
        const std::string before = Trailer();
        TrailerFailure why = TrailerFailure::None;
        EXPECT_FALSE(ReadImageTrailer(path.c_str(), &why));
        EXPECT_EQ(why, expected);
        EXPECT_EQ(ImageSize, 0);
        EXPECT_EQ(Trailer(), before);
        EXPECT_EQ(ImageFile, nullptr);
    }
};
}  // namespace

TEST_F(TrailerFixture, NearTrailerSetsSizeTrailerModelAndVersion) {
    const auto trailer = TrailerBytes(kModel, "1.10", 32, 5);
    WriteFile(dir / "a.bin", ImageBytes(262144, trailer, 262144 - 48));
    ASSERT_TRUE(ReadImageTrailer((dir / "a.bin").c_str()));
    EXPECT_EQ(ImageSize, 262144);
    EXPECT_EQ(0, std::memcmp(ImageTrailer, trailer.data(), 30));
    EXPECT_EQ(std::string(ImageModel), kModel);
    EXPECT_EQ(std::string(ImageVersion), "1.10");
    EXPECT_EQ(ImageModel[24], '\0');
    EXPECT_EQ(ImageVersion[4], '\0');
    EXPECT_EQ(ImageFile, nullptr);  // closed again
    // Reading the trailer does not set the block figures.
    EXPECT_EQ(BlockSizeKb, 0);
    EXPECT_EQ(BlockCount, 0);
}

TEST_F(TrailerFixture, FFAtTheNearPositionTakesTheFarOneAndASecondFFIsUsedAsItIs) {
    const size_t size = 200000;
    auto bytes = ImageBytes(size, TrailerBytes(kModel, "2.00", 64, 3), size - 65584);
    bytes[size - 48] = 0xFF;
    WriteFile(dir / "far.bin", bytes);
    ASSERT_TRUE(ReadImageTrailer((dir / "far.bin").c_str()));
    EXPECT_EQ(std::string(ImageModel), kModel);
    EXPECT_EQ(std::string(ImageVersion), "2.00");
    EXPECT_EQ(ImageTrailer[28], 64);
    EXPECT_EQ(ImageTrailer[29], 3);

    // 0xFF at both positions: the far bytes are the trailer, no third position.
    auto twice = ImageBytes(size, TrailerBytes("\xFF" + kOther.substr(1), "3.00", 16, 9), size - 65584);
    twice[size - 48] = 0xFF;
    WriteFile(dir / "twice.bin", twice);
    ASSERT_TRUE(ReadImageTrailer((dir / "twice.bin").c_str()));
    EXPECT_EQ(0, std::memcmp(ImageTrailer, twice.data() + size - 65584, 30));
    EXPECT_EQ(ImageTrailer[0], 0xFF);
    EXPECT_EQ(std::string(ImageVersion), "3.00");
}

TEST_F(TrailerFixture, ExactMinimumSizesReadFromOffsetZero) {
    WriteImage(dir / "48.bin", kModel, "0.48", 1, 1, 48);
    ASSERT_TRUE(ReadImageTrailer((dir / "48.bin").c_str()));
    EXPECT_EQ(ImageSize, 48);
    EXPECT_EQ(std::string(ImageVersion), "0.48");

    auto bytes = ImageBytes(65584, TrailerBytes(kOther, "6.55", 2, 2), 0);
    bytes[65584 - 48] = 0xFF;
    WriteFile(dir / "65584.bin", bytes);
    ASSERT_TRUE(ReadImageTrailer((dir / "65584.bin").c_str()));
    EXPECT_EQ(ImageSize, 65584);
    EXPECT_EQ(std::string(ImageModel), kOther);
}

TEST_F(TrailerFixture, TooShortFilesAreRefused) {
    LoadGood();
    WriteImage(dir / "47.bin", kOther, "0.47", 1, 1, 47 + 48);  // then cut below
    ::truncate((dir / "47.bin").c_str(), 47);
    ExpectRefused(dir / "47.bin", TrailerFailure::TooShort);
    WriteFile(dir / "empty.bin", {});
    ExpectRefused(dir / "empty.bin", TrailerFailure::TooShort);

    // 0xFF at S - 48 but not room for the far position.
    auto bytes = ImageBytes(65583, TrailerBytes(kOther, "x", 1, 1), 0);
    bytes[65583 - 48] = 0xFF;
    WriteFile(dir / "65583.bin", bytes);
    ExpectRefused(dir / "65583.bin", TrailerFailure::TooShort);
    EXPECT_EQ(std::string(ImageModel), kModel);  // still the good file's, but nothing is loaded
}

TEST_F(TrailerFixture, MissingDirectoryFifoAndEmptyNameAreNotOpened) {
    LoadGood();
    ExpectRefused(dir / "missing.bin", TrailerFailure::NotOpened);
    ExpectRefused(dir.path.string(), TrailerFailure::NotOpened);
    std::filesystem::create_directory(dir.path / "dir.bin");
    ExpectRefused(dir / "dir.bin", TrailerFailure::NotOpened);
    ASSERT_EQ(::mkfifo((dir / "fifo.bin").c_str(), 0600), 0);
    ExpectRefused(dir / "fifo.bin", TrailerFailure::NotOpened);  // and does not hang
    ExpectRefused("", TrailerFailure::NotOpened);
    TrailerFailure why = TrailerFailure::None;
    EXPECT_FALSE(ReadImageTrailer(nullptr, &why));
    EXPECT_EQ(why, TrailerFailure::NotOpened);
}

TEST_F(TrailerFixture, UnreadableFileIsNotOpened) {
    LoadGood();
    WriteImage(dir / "locked.bin", kOther, "9.99", 32, 5, 262144);
    ::chmod((dir / "locked.bin").c_str(), 0);
    if (::geteuid() != 0) {
        ExpectRefused(dir / "locked.bin", TrailerFailure::NotOpened);
        return;
    }
    // Root reads every file: try it as an ordinary user, in a child process.
    ::chmod(dir.path.c_str(), 0755);
    EXPECT_EXIT(
        {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(3);
            TrailerFailure why = TrailerFailure::None;
            const bool read = ReadImageTrailer((dir / "locked.bin").c_str(), &why);
            std::_Exit(!read && why == TrailerFailure::NotOpened && ImageSize == 0 &&
                               std::string(ImageModel) == kModel
                           ? 0
                           : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TrailerFixture, FileThatVanishedSinceItWasChosenLeavesNothingLoaded) {
    LoadGood();
    std::filesystem::remove(dir.path / "good.bin");
    ExpectRefused(dir / "good.bin", TrailerFailure::NotOpened);
}

TEST_F(TrailerFixture, TwoGiBOrMoreIsRefusedAndNeverWrapsTheSize) {
    LoadGood();
    // Sparse files: nothing is written but the trailer's place.
    const std::string big = dir / "big.bin";
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{1} << 31), 0);  // exactly 2 GiB
    const auto trailer = TrailerBytes(kOther, "2.GB", 64, 255);
    ASSERT_EQ(::pwrite(fd, trailer.data(), 30, (off_t{1} << 31) - 48), 30);
    ::close(fd);
    ExpectRefused(big, TrailerFailure::TooLarge);

    ASSERT_EQ(::truncate(big.c_str(), (off_t{1} << 32) + 262144), 0);  // would wrap to 262144
    ExpectRefused(big, TrailerFailure::TooLarge);

    // One byte less than 2 GiB fits.
    ASSERT_EQ(::truncate(big.c_str(), (off_t{1} << 31) - 1), 0);
    fd = ::open(big.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, trailer.data(), 30, (off_t{1} << 31) - 1 - 48), 30);
    ::close(fd);
    ASSERT_TRUE(ReadImageTrailer(big.c_str()));
    EXPECT_EQ(ImageSize, 2147483647);
    EXPECT_EQ(std::string(ImageVersion), "2.GB");
}

TEST_F(TrailerFixture, NameIsLookedUpIgnoringLetterCaseWhenTheExactNameIsMissing) {
    WriteImage(dir / "fw.bin", kModel, "1.23", 32, 5, 262144);
    ASSERT_TRUE(ReadImageTrailer((dir / "FW.BIN").c_str()));
    EXPECT_EQ(std::string(ImageVersion), "1.23");
    // Two names that match ignoring case: neither is taken.
    WriteImage(dir / "Fw.bin", kModel, "4.56", 32, 5, 262144);
    ExpectRefused(dir / "FW.BIN", TrailerFailure::NotOpened);
    // The exact name wins over the others.
    WriteImage(dir / "FW.BIN", kModel, "7.89", 32, 5, 262144);
    ASSERT_TRUE(ReadImageTrailer((dir / "FW.BIN").c_str()));
    EXPECT_EQ(std::string(ImageVersion), "7.89");
}
