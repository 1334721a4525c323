// Reading files through the platform layer: only regular files open, never
// blocking on what else may stand under the name; reads are exact, at any
// offset, and see the file as it is now.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace {

class RawFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    std::string PathOf(const std::string &name) const { return dir_.path().toStdString() + "/" + name; }

    // A file of `size` bytes, each telling its own offset.
    std::vector<uint8_t> Write(const std::string &name, size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
        std::ofstream(PathOf(name), std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), size);
        return bytes;
    }

    QTemporaryDir dir_;
};

// Closes the file at the end of the scope, whatever the test asserted.
struct Opened {
    explicit Opened(const std::string &path) : file(OpenRawFile(path.c_str())) {}
    ~Opened() { CloseRawFile(file); }
    RawFile *file;
};

}  // namespace

TEST_F(RawFiles, ReadsExactlyAtAnyOffsetUpToTheLastByte) {
    const std::vector<uint8_t> bytes = Write("fw.bin", 70000);
    Opened image(PathOf("fw.bin"));
    ASSERT_NE(image.file, nullptr);
    EXPECT_EQ(RawFileSize(image.file), 70000);

    std::vector<uint8_t> got(bytes.size());
    ASSERT_TRUE(ReadRawFileAt(image.file, 0, got.data(), got.size()));
    EXPECT_EQ(got, bytes);

    uint8_t tail[30];
    ASSERT_TRUE(ReadRawFileAt(image.file, 70000 - 30, tail, sizeof tail));
    EXPECT_EQ(std::vector<uint8_t>(tail, tail + 30), std::vector<uint8_t>(bytes.end() - 30, bytes.end()));
}

TEST_F(RawFiles, ReadReachingPastTheEndFails) {
    Write("fw.bin", 100);
    Opened image(PathOf("fw.bin"));
    ASSERT_NE(image.file, nullptr);
    uint8_t buffer[31];
    EXPECT_FALSE(ReadRawFileAt(image.file, 100 - 30, buffer, 31));  // one byte short
    EXPECT_FALSE(ReadRawFileAt(image.file, 100, buffer, 1));
    EXPECT_FALSE(ReadRawFileAt(image.file, 1000, buffer, 1));
    EXPECT_FALSE(ReadRawFileAt(image.file, -1, buffer, 1));
    EXPECT_TRUE(ReadRawFileAt(image.file, 100 - 31, buffer, 31));
}

TEST_F(RawFiles, SizeAndReadsFollowAFileThatGrew) {
    const std::vector<uint8_t> bytes = Write("fw.bin", 10);
    Opened image(PathOf("fw.bin"));
    ASSERT_NE(image.file, nullptr);
    EXPECT_EQ(RawFileSize(image.file), 10);
    uint8_t added[20];
    EXPECT_FALSE(ReadRawFileAt(image.file, 10, added, sizeof added));

    std::ofstream(PathOf("fw.bin"), std::ios::binary | std::ios::app).write("0123456789abcdefghij", 20);
    EXPECT_EQ(RawFileSize(image.file), 30);
    ASSERT_TRUE(ReadRawFileAt(image.file, 10, added, sizeof added));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(added), 20), "0123456789abcdefghij");
}

TEST_F(RawFiles, NameIsFoundIgnoringLetterCase) {
    Write("update.bin", 40);
    EXPECT_TRUE(CanOpenRawFile(PathOf("UPDATE.BIN").c_str()));
    Opened image(PathOf("Update.Bin"));
    ASSERT_NE(image.file, nullptr);
    EXPECT_EQ(RawFileSize(image.file), 40);
}

// Were a FIFO opened as it stands, open() would wait for a writer that never
// comes and the test would hang rather than fail.
TEST_F(RawFiles, FifoUnderTheNameIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(PathOf("fw.bin").c_str(), 0600), 0);
    EXPECT_EQ(OpenRawFile(PathOf("fw.bin").c_str()), nullptr);
    EXPECT_FALSE(CanOpenRawFile(PathOf("FW.BIN").c_str()));
}

TEST_F(RawFiles, OnlyARegularFileOpens) {
    ASSERT_EQ(mkdir(PathOf("images").c_str(), 0755), 0);
    EXPECT_EQ(OpenRawFile(PathOf("images").c_str()), nullptr);
    EXPECT_FALSE(CanOpenRawFile(PathOf("images").c_str()));
    EXPECT_FALSE(CanOpenRawFile("/dev/null"));  // a device
    EXPECT_FALSE(CanOpenRawFile(PathOf("missing.bin").c_str()));
    EXPECT_FALSE(CanOpenRawFile(""));
    EXPECT_FALSE(CanOpenRawFile(nullptr));
    // And without a file, every call answers nothing.
    uint8_t byte = 0;
    EXPECT_EQ(RawFileSize(nullptr), -1);
    EXPECT_FALSE(ReadRawFileAt(nullptr, 0, &byte, 1));
    CloseRawFile(nullptr);
}
