#include "platform/DriveLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
class DriveLock : public PlatformHold {
public:
    explicit DriveLock(int fd) : fd_(fd) {}
    ~DriveLock() override { ::close(fd_); }  // closing the last descriptor releases the flock

private:
    int fd_;
};

class ManagerHold : public PlatformHold {
public:
    ManagerHold(HoldASPI32DeviceFn holdDevice, uint8_t adapter, uint8_t target)
        : holdDevice_(holdDevice), adapter_(adapter), target_(target) {}
    ~ManagerHold() override { holdDevice_(adapter_, target_, HOLD_RELEASE); }

private:
    HoldASPI32DeviceFn holdDevice_;  // the library stays loaded for the life of the process
    uint8_t adapter_;
    uint8_t target_;
};

// Opens the lock file, made on first use, without following a symbolic link
// and without waiting for a writer of a named pipe. In a sticky folder that
// every user may write (/run/lock, /tmp) the kernel may refuse O_CREAT on a
// file that another user made (protected_regular), so an existing file is
// opened without it. Read access suffices for flock, and the file is made
// readable for every user, whoever makes it first.
int OpenLockFile(const std::string &path, int *error) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.c_str(), kFlags);
        if (fd >= 0) return fd;
        if (errno != ENOENT) break;
        fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644);  // whatever the umask: others must be able to open it
            return fd;
        }
        if (errno != EEXIST) break;  // made by another process just now: open it
    }
    *error = errno;
    return -1;
}

const char *KindOf(mode_t type) {
    switch (type) {
    case S_IFIFO: return "a named pipe";
    case S_IFDIR: return "a folder";
    case S_IFCHR:
    case S_IFBLK: return "a device";
    case S_IFSOCK: return "a socket";
    default: return "not a regular file";
    }
}

bool IsFolder(const char *path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

DriveLockVerdict JudgeManagerHold(uint32_t answer, std::string_view detail) {
    switch (answer) {
    case HOLD_HELD: return {DriveLockState::Taken, {}};
    case HOLD_HELD_SHARED:
        return {DriveLockState::TakenShared,
                "This user cannot open the drive for writing alone, so the system goes on polling it for a disc "
                "during the flash."};
    case HOLD_BUSY: return {DriveLockState::HeldElsewhere, {}};
    case HOLD_MOUNTED:
        return {DriveLockState::Mounted, "A disc in this drive is mounted" +
                                             (detail.empty() ? std::string() : " at " + SafeText(detail)) +
                                             ": unmount it or take the disc out, then try again."};
    case HOLD_IN_USE:
        return {DriveLockState::InUse, "Another program has this drive open for writing (a disc writer?)."};
    case HOLD_CANNOT:
        return {DriveLockState::Unsafe,
                "The drive's manager cannot keep other programs off this drive; standard error may say why."};
    default: {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The drive's manager gave an unknown answer (%u) when asked to keep other programs off "
                      "this drive.",
                      static_cast<unsigned>(answer));
        return {DriveLockState::Unsafe, text};
    }
    }
}

std::string SafeText(std::string_view bytes) {
    constexpr size_t kLongest = 1024;
    std::string text;
    const auto escape = [&](unsigned char byte) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        text += hex;
    };
    size_t i = 0;
    for (; i < bytes.size() && text.size() < kLongest;) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
            ++i;
            continue;
        }
        // A UTF-8 sequence: its length from the lead byte, every further
        // byte 10xxxxxx, the shortest form, no surrogate, at most U+10FFFF.
        const int length = byte >= 0xC2 && byte <= 0xDF ? 2 : byte >= 0xE0 && byte <= 0xEF ? 3
                                                          : byte >= 0xF0 && byte <= 0xF4 ? 4 : 0;
        uint32_t point = length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
        bool wellFormed = length > 0 && i + static_cast<size_t>(length) <= bytes.size();
        for (int k = 1; wellFormed && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]);
            wellFormed = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        wellFormed = wellFormed && !(length == 3 && point < 0x800) && !(length == 4 && point < 0x10000) &&
                     point <= 0x10FFFF && !(point >= 0xD800 && point <= 0xDFFF);
        // C1 controls, line and paragraph separators, and the marks that
        // reorder how a line reads.
        const bool hidden = point < 0xA0 || point == 0x2028 || point == 0x2029 || (point >= 0x200E && point <= 0x200F) ||
                            (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
        if (wellFormed && !hidden) {
            text.append(bytes.substr(i, static_cast<size_t>(length)));
            i += static_cast<size_t>(length);
        } else {
            escape(byte);
            ++i;
        }
    }
    if (i < bytes.size()) text += "...";
    return text;
}

Hold HoldDriveThroughManager(HoldASPI32DeviceFn holdDevice, HoldASPI32DeviceDetailFn holdDetail, uint8_t adapter,
                             uint8_t target, DriveLockVerdict *verdict) {
    const uint32_t answer = holdDevice(adapter, target, HOLD_TAKE);
    std::string detail;
    if (answer == HOLD_MOUNTED && holdDetail != nullptr) {
        // The manager answers its text's full length; what it left unwritten
        // below that reads as zeros, never as what the stack held.
        char text[4096] = {};
        const uint32_t length = holdDetail(adapter, target, text, sizeof text);
        detail.assign(text, std::min<size_t>(length, sizeof text - 1));
    }
    *verdict = JudgeManagerHold(answer, detail);
    if (!DriveLockTaken(verdict->state)) return nullptr;
    return std::make_unique<ManagerHold>(holdDevice, adapter, target);
}

LockFileVerdict JudgeLockFile(const LockFileFacts &facts) {
    if (facts.openError == ELOOP) return LockFileVerdict::SymbolicLink;
    if (facts.openError != 0) return LockFileVerdict::CannotOpen;
    if (facts.type != S_IFREG) return LockFileVerdict::NotRegular;
    if (facts.owner != facts.user && facts.owner != 0) return LockFileVerdict::ForeignOwner;
    if (facts.lockError == LockFileFacts::kNotTried) return LockFileVerdict::LockNotTried;
    if (facts.lockError == EWOULDBLOCK) return LockFileVerdict::HeldElsewhere;
    if (facts.lockError != 0) return LockFileVerdict::CannotLock;
    return LockFileVerdict::Taken;
}

DriveLockVerdict ExplainLockFile(LockFileVerdict verdict, const LockFileFacts &facts, const std::string &path) {
    const std::string file = "The drive's lock file " + path;
    switch (verdict) {
    case LockFileVerdict::Taken: return {DriveLockState::Taken, {}};
    case LockFileVerdict::HeldElsewhere: return {DriveLockState::HeldElsewhere, {}};
    case LockFileVerdict::SymbolicLink: return {DriveLockState::Unsafe, file + " is a symbolic link."};
    case LockFileVerdict::CannotOpen:
        return {DriveLockState::Unsafe, file + " cannot be opened: " + std::strerror(facts.openError) + "."};
    case LockFileVerdict::NotRegular:
        return {DriveLockState::Unsafe, file + " is " + KindOf(facts.type) + "."};
    case LockFileVerdict::ForeignOwner:
        return {DriveLockState::Unsafe,
                file + " belongs to another user (uid " + std::to_string(facts.owner) + ")."};
    case LockFileVerdict::CannotLock:
        return {DriveLockState::Unsafe, file + " cannot be locked: " + std::strerror(facts.lockError) + "."};
    case LockFileVerdict::LockNotTried: break;
    }
    return {DriveLockState::Unsafe, file + " was not locked."};
}

std::string DriveLockPath(const std::string &folder, uint8_t adapter, uint8_t target) {
    char name[64];
    std::snprintf(name, sizeof name, "/quorvel-drive-%u-%u.lock", static_cast<unsigned>(adapter),
                  static_cast<unsigned>(target));
    return folder + name;
}

Hold TakeDriveLockIn(const std::string &folder, uint8_t adapter, uint8_t target, DriveLockState *state,
                     std::string *problem) {
    const std::string path = DriveLockPath(folder, adapter, target);
    LockFileFacts facts;
    facts.user = ::geteuid();
    const int fd = OpenLockFile(path, &facts.openError);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) == 0) {
            facts.type = info.st_mode & S_IFMT;
            facts.owner = info.st_uid;
        } else {
            facts.openError = errno;
        }
    }
    LockFileVerdict verdict = JudgeLockFile(facts);
    if (verdict == LockFileVerdict::LockNotTried) {
        int result;
        do {
            result = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (result != 0 && errno == EINTR);
        facts.lockError = result == 0 ? 0 : errno;
        verdict = JudgeLockFile(facts);
    }
    const DriveLockVerdict answer = ExplainLockFile(verdict, facts, path);
    *state = answer.state;
    if (problem != nullptr) *problem = answer.problem;
    if (answer.state != DriveLockState::Taken) {
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    return std::make_unique<DriveLock>(fd);
}

Hold TakeDriveLock(uint8_t adapter, uint8_t target, DriveLockState *state, std::string *problem) {
    const char *folder = IsFolder("/run/lock") ? "/run/lock" : "/tmp";
    return TakeDriveLockIn(folder, adapter, target, state, problem);
}
