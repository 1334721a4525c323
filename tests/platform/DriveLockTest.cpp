// One flash per drive across processes: the lock a drive's flash holds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

TEST(DriveLock, NoFolderMeansNoLockAndNoRefusal) {
    DriveLockState state = DriveLockState::Taken;
    EXPECT_EQ(TakeDriveLockIn("/nonexistent/quorvel", 0, 1, &state), nullptr);
    EXPECT_EQ(state, DriveLockState::Unavailable);
}
