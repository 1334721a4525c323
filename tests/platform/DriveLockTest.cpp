// One flash per drive across processes: the lock a drive's flash holds, the
// manager's or, without it, a lock file that cannot be turned against the
// program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/DriveLock.h"

namespace {
struct LockFolder {
    std::string path;
    LockFolder() {
        char name[] = "/tmp/quorvel-locks-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~LockFolder() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
};

DriveLockState TryIn(const LockFolder &folder, uint8_t adapter, uint8_t target, Hold *hold = nullptr) {
    DriveLockState state = DriveLockState::Unavailable;
    Hold taken = TakeDriveLockIn(folder.path, adapter, target, &state);
    EXPECT_EQ(taken != nullptr, state == DriveLockState::Taken);
    if (hold != nullptr) *hold = std::move(taken);
    return state;
}
}  // namespace

TEST(DriveLock, OneHolderPerDriveUntilItLetsGo) {
    LockFolder folder;
    Hold first;
    ASSERT_EQ(TryIn(folder, 0, 1, &first), DriveLockState::Taken);
    EXPECT_EQ(TryIn(folder, 0, 1), DriveLockState::HeldElsewhere);
    // Other drives are free: another target, another adapter.
    EXPECT_EQ(TryIn(folder, 0, 2), DriveLockState::Taken);
    EXPECT_EQ(TryIn(folder, 1, 1), DriveLockState::Taken);
    first.reset();
    EXPECT_EQ(TryIn(folder, 0, 1), DriveLockState::Taken);

    // Any user can open the file that the first one made.
    struct stat info {};
    ASSERT_EQ(::stat(DriveLockPath(folder.path, 0, 1).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(DriveLockPath("/run/lock", 2, 7), "/run/lock/quorvel-drive-2-7.lock");
}

TEST(DriveLock, AnotherProcessHoldsItUntilItEnds) {
    LockFolder folder;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DriveLockState state;
        Hold held = TakeDriveLockIn(folder.path, 0, 1, &state);
        const char taken = state == DriveLockState::Taken ? 'y' : 'n';
        (void)::write(ready[1], &taken, 1);
        ::pause();  // until killed: the kernel lets go of the lock
        ::_exit(0);
    }
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    ASSERT_EQ(taken, 'y');
    EXPECT_EQ(TryIn(folder, 0, 1), DriveLockState::HeldElsewhere);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(TryIn(folder, 0, 1), DriveLockState::Taken);
}

TEST(DriveLock, NoFolderMeansARefusalThatSaysWhy) {
    DriveLockState state = DriveLockState::Taken;
    std::string problem;
    EXPECT_EQ(TakeDriveLockIn("/nonexistent/quorvel", 0, 1, &state, &problem), nullptr);
    EXPECT_EQ(state, DriveLockState::Unsafe);
    EXPECT_EQ(problem,
              "The drive's lock file /nonexistent/quorvel/quorvel-drive-0-1.lock cannot be opened: No such file or "
              "directory.");
}

// What someone else may have put at the lock file's path: the flash is
// refused at once with the reason, nothing is locked, nothing waits.
TEST(DriveLock, WhatCouldBeTurnedAgainstTheProgramRefusesTheFlashAtOnce) {
    LockFolder folder;
    const std::string path = DriveLockPath(folder.path, 0, 1);
    const std::string file = "The drive's lock file " + path;
    const auto refusal = [&] {
        DriveLockState state = DriveLockState::Taken;
        std::string problem;
        Hold hold = TakeDriveLockIn(folder.path, 0, 1, &state, &problem);
        EXPECT_EQ(hold, nullptr);
        EXPECT_EQ(state, DriveLockState::Unsafe);
        ::unlink(path.c_str());
        ::rmdir(path.c_str());
        return problem;
    };

    // A named pipe with no writer: opening it must not wait for one.
    ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
    EXPECT_EQ(refusal(), file + " is a named pipe.");

    // A symbolic link, to a file of the user's or to nothing: never followed.
    const std::string target = folder.path + "/target";
    { std::ofstream(target) << "x"; }
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(refusal(), file + " is a symbolic link.");
    ASSERT_EQ(::symlink((folder.path + "/nothing").c_str(), path.c_str()), 0);
    EXPECT_EQ(refusal(), file + " is a symbolic link.");
    struct stat info {};
    EXPECT_NE(::stat((folder.path + "/nothing").c_str(), &info), 0) << "nothing was made through the link";

    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(refusal(), file + " is a folder.");

    // Another user's file, which that user could hold for ever (only root
    // can make one here).
    if (::geteuid() == 0) {
        { std::ofstream(path) << ""; }
        ASSERT_EQ(::chown(path.c_str(), 1001, 1001), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        EXPECT_EQ(refusal(), file + " belongs to another user (uid 1001).");
    }

    // With the path clear again the lock is made and taken as ever.
    EXPECT_EQ(TryIn(folder, 0, 1), DriveLockState::Taken);
}

TEST(DriveLock, DecidedInOrderOpenKindOwnerThenLock) {
    LockFileFacts facts;
    facts.user = 1000;
    facts.owner = 1000;
    facts.type = S_IFREG;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::LockNotTried);
    facts.lockError = 0;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::Taken);
    facts.lockError = EWOULDBLOCK;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::HeldElsewhere);
    facts.lockError = ENOLCK;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::CannotLock);
    // Root's file is as good as the user's own; anyone else's is refused
    // before its lock counts.
    facts.owner = 0;
    facts.lockError = EWOULDBLOCK;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::HeldElsewhere);
    facts.owner = 1001;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::ForeignOwner);
    facts.type = S_IFIFO;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::NotRegular);
    facts.openError = EACCES;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::CannotOpen);
    facts.openError = ELOOP;
    EXPECT_EQ(JudgeLockFile(facts), LockFileVerdict::SymbolicLink);
    // Root is held to the same rule for a user's file.
    LockFileFacts asRoot;
    asRoot.user = 0;
    asRoot.owner = 1000;
    asRoot.type = S_IFREG;
    EXPECT_EQ(JudgeLockFile(asRoot), LockFileVerdict::ForeignOwner);
}

namespace {
std::vector<std::string> managerCalls;
uint32_t managerAnswer = HOLD_HELD;
uint32_t RecordingManager(uint8_t adapter, uint8_t target, uint32_t request) {
    managerCalls.push_back(std::to_string(adapter) + " " + std::to_string(target) + " " + std::to_string(request));
    return request == HOLD_TAKE ? managerAnswer : HOLD_RELEASED;
}
}  // namespace

TEST(DriveLock, TheManagersHoldIsReleasedThereWhenTheHoldGoes) {
    DriveLockVerdict verdict;
    Hold hold = HoldDriveThroughManager(RecordingManager, nullptr, 2, 5, &verdict);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(verdict.state, DriveLockState::Taken);
    EXPECT_EQ(managerCalls, (std::vector<std::string>{"2 5 1"}));
    hold.reset();
    EXPECT_EQ(managerCalls, (std::vector<std::string>{"2 5 1", "2 5 2"}));

    // Not taken: nothing to release.
    for (const uint32_t answer : {HOLD_BUSY, HOLD_CANNOT, uint32_t{0}}) {
        managerCalls.clear();
        managerAnswer = answer;
        EXPECT_EQ(HoldDriveThroughManager(RecordingManager, nullptr, 2, 5, &verdict), nullptr);
        EXPECT_EQ(managerCalls.size(), 1u);
    }
    EXPECT_EQ(JudgeManagerHold(HOLD_BUSY).state, DriveLockState::HeldElsewhere);
    EXPECT_EQ(JudgeManagerHold(HOLD_CANNOT).state, DriveLockState::Unsafe);
    EXPECT_EQ(JudgeManagerHold(HOLD_CANNOT).problem,
              "The drive's manager cannot keep other programs off this drive; standard error may say why.");
    EXPECT_EQ(JudgeManagerHold(HOLD_RELEASED).state, DriveLockState::Unsafe) << "no answer to a take";
    EXPECT_EQ(JudgeManagerHold(8).problem,
              "The drive's manager gave an unknown answer (8) when asked to keep other programs off this drive.");
}

namespace {
std::string managerDetail;
uint32_t DetailOfManager(uint8_t, uint8_t, char *text, uint32_t size) {
    const size_t copied = std::min<size_t>(managerDetail.size(), size - 1);
    std::memcpy(text, managerDetail.data(), copied);
    text[copied] = '\0';
    return static_cast<uint32_t>(managerDetail.size());
}
}  // namespace

TEST(DriveLock, AMountedDiscOrAnotherWriterRefusesTheDriveAndAReadOnlyHoldStillTakesIt) {
    DriveLockVerdict verdict;
    managerCalls.clear();
    managerAnswer = HOLD_HELD_SHARED;
    Hold hold = HoldDriveThroughManager(RecordingManager, DetailOfManager, 0, 1, &verdict);
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(verdict.state, DriveLockState::TakenShared);
    EXPECT_EQ(verdict.problem, "This user cannot open the drive for writing alone, so the system goes on polling "
                               "it for a disc during the flash.");
    hold.reset();
    EXPECT_EQ(managerCalls, (std::vector<std::string>{"0 1 1", "0 1 2"}));

    managerAnswer = HOLD_MOUNTED;
    managerDetail = "/media/user/MY DISC";
    EXPECT_EQ(HoldDriveThroughManager(RecordingManager, DetailOfManager, 0, 1, &verdict), nullptr);
    EXPECT_EQ(verdict.state, DriveLockState::Mounted);
    EXPECT_EQ(verdict.problem, "A disc in this drive is mounted at /media/user/MY DISC: unmount it or take the disc "
                               "out, then try again.");
    // The mount point is anyone's text: a line end and an escape sequence in
    // it are shown as bytes, not acted on.
    const char kHostile[] = "/media/x\n\x1b[2J\0y";
    managerDetail = std::string(kHostile, sizeof kHostile - 1);
    HoldDriveThroughManager(RecordingManager, DetailOfManager, 0, 1, &verdict);
    EXPECT_EQ(verdict.problem, "A disc in this drive is mounted at /media/x\\x0A\\x1B[2J\\x00y: unmount it or take "
                               "the disc out, then try again.");
    // A manager without the detail's entry point.
    HoldDriveThroughManager(RecordingManager, nullptr, 0, 1, &verdict);
    EXPECT_EQ(verdict.problem, "A disc in this drive is mounted: unmount it or take the disc out, then try again.");

    managerAnswer = HOLD_IN_USE;
    managerCalls.clear();
    EXPECT_EQ(HoldDriveThroughManager(RecordingManager, DetailOfManager, 0, 1, &verdict), nullptr);
    EXPECT_EQ(verdict.state, DriveLockState::InUse);
    EXPECT_EQ(verdict.problem, "Another program has this drive open for writing (a disc writer?).");
    EXPECT_EQ(managerCalls.size(), 1u) << "nothing taken, nothing to release";
    managerAnswer = HOLD_HELD;
}

TEST(DriveLock, UntrustedTextIsShownAsPrintableCharactersAndEscapedBytes) {
    EXPECT_EQ(SafeText("/media/user/Disc 1"), "/media/user/Disc 1");
    // Well-formed UTF-8 stays: e with acute, CJK, an emoji.
    EXPECT_EQ(SafeText("/m/\xC3\xA9\xE5\x85\x89\xF0\x9F\x92\xBF"), "/m/\xC3\xA9\xE5\x85\x89\xF0\x9F\x92\xBF");
    // Controls, DEL, a C1 control, a right-to-left override, a line separator.
    EXPECT_EQ(SafeText("a\tb\x7F\xC2\x85" "c\xE2\x80\xAE" "d\xE2\x80\xA8"),
              "a\\x09b\\x7F\\xC2\\x85c\\xE2\\x80\\xAEd\\xE2\\x80\\xA8");
    // Bytes that are no UTF-8: a stray continuation, an overlong form, a
    // surrogate, a sequence cut short at the end.
    EXPECT_EQ(SafeText("\x80\xC0\xAF\xED\xA0\x80\xE5\x85"),
              "\\x80\\xC0\\xAF\\xED\\xA0\\x80\\xE5\\x85");
    EXPECT_EQ(SafeText(std::string(2000, 'a')), std::string(1024, 'a') + "...");
    EXPECT_EQ(SafeText(""), "");
}
