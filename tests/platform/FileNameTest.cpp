// ResolveFileName: names looked up as the program's home system does, where
// the letter case of a name does not matter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <fstream>
#include <string>

#include "platform/win32.h"

namespace {

class FileNames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        previous_ = cwd;
        ASSERT_EQ(chdir(root_.c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(previous_.c_str()), 0); }

    void Touch(const std::string &name) { std::ofstream(root_ + "/" + name) << "x"; }
    void MakeDir(const std::string &name) { ASSERT_EQ(mkdir((root_ + "/" + name).c_str(), 0755), 0); }

    QTemporaryDir dir_;
    std::string root_;
    std::string previous_;
};

}  // namespace

TEST_F(FileNames, ExactNameIsKept) {
    Touch("AUTORUN.BIN");
    Touch("autorun.bin");  // another entry of the other case does not matter
    EXPECT_EQ(ResolveFileName("AUTORUN.BIN"), "AUTORUN.BIN");
    EXPECT_EQ(ResolveFileName("autorun.bin"), "autorun.bin");
    EXPECT_EQ(ResolveFileName(root_ + "/AUTORUN.BIN"), root_ + "/AUTORUN.BIN");
}

TEST_F(FileNames, OtherCaseFindsTheOneEntry) {
    Touch("autorun.bin");
    EXPECT_EQ(ResolveFileName("AUTORUN.BIN"), "autorun.bin");
    EXPECT_EQ(ResolveFileName("AutoRun.Bin"), "autorun.bin");
    EXPECT_EQ(ResolveFileName(root_ + "/AUTORUN.BIN"), root_ + "/autorun.bin");
}

TEST_F(FileNames, TwoCandidatesLeaveTheNameUnchanged) {
    Touch("Fw.bin");
    Touch("fW.BIN");
    EXPECT_EQ(ResolveFileName("FW.BIN"), "FW.BIN");
}

TEST_F(FileNames, NoCandidateLeavesTheNameUnchanged) {
    Touch("other.bin");
    EXPECT_EQ(ResolveFileName("FW.BIN"), "FW.BIN");
    EXPECT_EQ(ResolveFileName("missing/FW.BIN"), "missing/FW.BIN");
    // Only whole names match: a longer or shorter name is no candidate.
    Touch("fw.bin.old");
    Touch("fw.bi");
    EXPECT_EQ(ResolveFileName("FW.BIN"), "FW.BIN");
    EXPECT_EQ(ResolveFileName(""), "");
}

TEST_F(FileNames, InASubdirectoryOnlyTheLastComponentIsMatched) {
    MakeDir("images");
    Touch("images/new.bin");
    EXPECT_EQ(ResolveFileName("images/NEW.BIN"), "images/new.bin");
    EXPECT_EQ(ResolveFileName("./images/New.Bin"), "./images/new.bin");
    // The directory's own name is taken as written.
    EXPECT_EQ(ResolveFileName("IMAGES/NEW.BIN"), "IMAGES/NEW.BIN");
    // A directory path with nothing after its slash is left alone.
    EXPECT_EQ(ResolveFileName("IMAGES/"), "IMAGES/");
}

TEST_F(FileNames, OnlyAsciiLettersFoldCase) {
    Touch("fw\xc3\xa9.bin");  // e with acute accent, in UTF-8
    EXPECT_EQ(ResolveFileName("FW\xc3\xa9.BIN"), "fw\xc3\xa9.bin");
    // The upper-case accented letter is another name, not another case.
    EXPECT_EQ(ResolveFileName("FW\xc3\x89.BIN"), "FW\xc3\x89.BIN");
}
