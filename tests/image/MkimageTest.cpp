// quorvel-mkimage, run as the program it is: the bytes it writes, read back by
// ReadImageTrailer, and its refusals.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "state/SharedState.h"
#include "image/Trailer.h"
#include "tests/image/ImageFiles.h"

namespace {
struct ToolRun {
    int status = -1;
    std::string output;  // standard output and error together
};

std::string Quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

ToolRun Mkimage(const std::vector<std::string> &args) {
    std::string command = Quote(QUORVEL_MKIMAGE);
    for (const auto &a : args) command += " " + Quote(a);
    command += " 2>&1";
    ToolRun run;
    FILE *pipe = ::popen(command.c_str(), "r");
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

std::vector<uint8_t> ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t WordAt(const std::vector<uint8_t> &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
}  // namespace

TEST(Mkimage, DefaultSizeFollowsTheSizeRuleWithTheTrailerAtSizeMinus48) {
    TempDir dir;
    const ToolRun run = Mkimage({"--model", "ALPHA   CD-R ONE", "--version", "2.1", "--block-kb", "32", "--blocks", "5",
                             dir / "fw.bin"});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto bytes = ReadAll(dir / "fw.bin");
    ASSERT_EQ(bytes.size(), 262144u);
    const std::string trailer(bytes.begin() + 262144 - 48, bytes.begin() + 262144 - 18);
    EXPECT_EQ(trailer.substr(0, 28), "ALPHA   CD-R ONE        2.1 ");
    EXPECT_EQ(static_cast<uint8_t>(trailer[28]), 32);
    EXPECT_EQ(static_cast<uint8_t>(trailer[29]), 5);
    // Everything else: each 4-byte word holds its own offset.
    EXPECT_EQ(WordAt(bytes, 0), 0u);
    EXPECT_EQ(WordAt(bytes, 0x10000), 0x10000u);
    EXPECT_EQ(WordAt(bytes, 262144 - 52), 262144u - 52);
    EXPECT_EQ(WordAt(bytes, 262144 - 16), 262144u - 16);  // the last 18 bytes are pattern too
    EXPECT_EQ(bytes[262144 - 18], 0x03);  // third byte of the word at 0x3FFEC

    ASSERT_TRUE(ReadImageTrailer((dir / "fw.bin").c_str()));
    EXPECT_EQ(std::string(ImageModel), "ALPHA   CD-R ONE        ");
    EXPECT_EQ(std::string(ImageVersion), "2.1 ");

    // The size rule with 32 and 9 wraps: 262144, not 524288.
    ASSERT_EQ(Mkimage({"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "9", dir / "wrap.bin"}).status,
              0);
    EXPECT_EQ(std::filesystem::file_size(dir.path / "wrap.bin"), 262144u);
}

TEST(Mkimage, FarTrailerWithFFAtSizeMinus48AndAnExplicitSize) {
    TempDir dir;
    const ToolRun run = Mkimage({"--model", "BETA    DVD-RW TWO", "--version", "3.00", "--block-kb", "64", "--blocks", "3",
                             "--size", "200000", "--far", "--quiet", dir / "far.bin"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");
    const auto bytes = ReadAll(dir / "far.bin");
    ASSERT_EQ(bytes.size(), 200000u);
    EXPECT_EQ(bytes[200000 - 48], 0xFF);
    EXPECT_EQ(std::string(bytes.begin() + 200000 - 65584, bytes.begin() + 200000 - 65584 + 28),
              "BETA    DVD-RW TWO      3.00");
    ASSERT_TRUE(ReadImageTrailer((dir / "far.bin").c_str()));
    EXPECT_EQ(std::string(ImageVersion), "3.00");
    EXPECT_EQ(ImageTrailer[28], 64);
    EXPECT_EQ(ImageTrailer[29], 3);
}

TEST(Mkimage, BadArgumentsAreRefusedWithAMessageAndNoFile) {
    TempDir dir;
    const std::string out = dir / "x.bin";
    const std::vector<std::string> ok = {"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5"};
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--model", std::string(25, 'm'), "--version", "1", "--block-kb", "32", "--blocks", "5", out},
         "more than 24"},
        {{"--model", "M", "--version", "1.234", "--block-kb", "32", "--blocks", "5", out}, "more than 4"},
        {{"--model", "M", "--version", "1", "--block-kb", "256", "--blocks", "5", out}, "0 to 255"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "-1", out}, "0 to 255"},
        {{"--model", "M", "--version", "1", "--block-kb", "3x", "--blocks", "5", out}, "0 to 255"},
        {{"--version", "1", "--block-kb", "32", "--blocks", "5", out}, "--model is required"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5"}, "OUTPUT is required"},
        {{"--model", "M", "--version", "1", "--block-kb", "64", "--blocks", "1", out}, "give --size"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5", "--size", "47", out}, "too small"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5", "--size", "65583", "--far", out},
         "too small"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5", "--size", "2147483648", out},
         "--size must be"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5", "--bogus", out}, "unknown option"},
        {{"--model", "M", "--version", "1", "--block-kb", "32", "--blocks", "5", out, out}, "only one OUTPUT"},
        {{"--model"}, "needs a value"},
    };
    for (const Case &c : cases) {
        const ToolRun run = Mkimage(c.args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
    }
    std::vector<std::string> unwritable = ok;
    unwritable.push_back(dir / "no/such/dir/x.bin");
    const ToolRun run = Mkimage(unwritable);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cannot write"), std::string::npos) << run.output;
    EXPECT_NE(Mkimage({"--model", "M"}).output.find("usage: quorvel-mkimage"), std::string::npos);
    EXPECT_EQ(Mkimage({"--help"}).status, 0);
}
