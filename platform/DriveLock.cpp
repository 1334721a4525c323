#include "platform/DriveLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {
class DriveLock : public PlatformHold {
public:
    explicit DriveLock(int fd) : fd_(fd) {}
    ~DriveLock() override { ::close(fd_); }  // closing the last descriptor releases the flock

private:
    int fd_;
};

// Opens the lock file, made on first use. In a sticky folder that every
// user may write (/run/lock, /tmp) the kernel may refuse O_CREAT on a file
// that another user made (protected_regular), so an existing file is opened
// without it. Read access suffices for flock, and the file is made readable
// for every user, whoever makes it first.
int OpenLockFile(const std::string &path) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644);  // whatever the umask: others must be able to open it
            return fd;
        }
        if (errno != EEXIST) return -1;  // made by another process just now: open it
    }
    return -1;
}

bool IsFolder(const char *path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

std::string DriveLockPath(const std::string &folder, uint8_t adapter, uint8_t target) {
    char name[64];
    std::snprintf(name, sizeof name, "/quorvel-drive-%u-%u.lock", static_cast<unsigned>(adapter),
                  static_cast<unsigned>(target));
    return folder + name;
}

Hold TakeDriveLockIn(const std::string &folder, uint8_t adapter, uint8_t target, DriveLockState *state) {
    *state = DriveLockState::Unavailable;
    const int fd = OpenLockFile(DriveLockPath(folder, adapter, target));
    if (fd < 0) return nullptr;
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        if (busy) *state = DriveLockState::HeldElsewhere;
        return nullptr;
    }
    *state = DriveLockState::Taken;
    return std::make_unique<DriveLock>(fd);
}

Hold TakeDriveLock(uint8_t adapter, uint8_t target, DriveLockState *state) {
    const char *folder = IsFolder("/run/lock") ? "/run/lock" : "/tmp";
    return TakeDriveLockIn(folder, adapter, target, state);
}
