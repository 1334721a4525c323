#include "aspi/sim/Hold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/wnaspi32.h"

namespace quorvel_sim {

std::string HoldLockPath(const std::string &machinePath, int adapter, int target) {
    return machinePath + "." + std::to_string(adapter) + "-" + std::to_string(target) + ".lock";
}

DeviceHold::~DeviceHold() {
    if (fd_ >= 0) ::close(fd_);
}

uint32_t DeviceHold::Take(const std::string &path, std::string *why) {
    std::lock_guard lock(mutex_);
    // In this order: a hold of this process's own, the file, its lock.
    if (fd_ >= 0) return HOLD_BUSY;
    // Made as a real manager would open a device node: never through a
    // link, never waiting.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = "cannot open " + path + ": " + std::strerror(errno);
        return HOLD_CANNOT;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return HOLD_BUSY;
        *why = "cannot lock " + path + ": " + std::strerror(error);
        return HOLD_CANNOT;
    }
    fd_ = fd;
    return HOLD_HELD;
}

uint32_t DeviceHold::Release() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);  // closing lets go of the lock
    fd_ = -1;
    return HOLD_RELEASED;
}

}  // namespace quorvel_sim
