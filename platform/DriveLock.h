// One flash per drive across processes.
//
// The drive's manager holds the drive when it can (HoldASPI32Device,
// platform/wnaspi32.h): the lock is then on the device itself, the same for
// every user however the manager numbers the adapters. A manager without that
// entry point gets a lock file named after the adapter and target it gives,
// in the system's lock folder (/run/lock; /tmp where there is none), opened
// so that the file cannot be turned against the program: never through a
// symbolic link, never waiting on a named pipe, and used only when it is a
// regular file of the user's or root's. Whatever else is found there refuses
// the flash with the reason; a flash is never left unguarded without a word.
// Either lock goes when the hold is destroyed, or with the process, however
// it ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Hold.h"
#include "platform/wnaspi32.h"

// What taking a drive's lock came to; for the answers that have one (Unsafe,
// Mounted, InUse: why not; TakenShared: what goes on meanwhile), a sentence
// for the user.
struct DriveLockVerdict {
    DriveLockState state = DriveLockState::Unsafe;
    std::string problem;
};

// The manager's answer to HOLD_TAKE, as the program acts on it; `detail` is
// what HoldASPI32DeviceDetail gave with it (the mount point of
// HOLD_MOUNTED), any bytes: it is shown only as SafeText makes it.
DriveLockVerdict JudgeManagerHold(uint32_t answer, std::string_view detail = {});

// Untrusted text (a mount point a user or a disc's label chose) as a line
// may show it: printable ASCII and well-formed UTF-8 of printable characters
// kept, every other byte written \xHH (control characters, a zero, line and
// paragraph separators, the marks that reorder a line's direction), at most
// 1024 bytes of it followed by "...".
std::string SafeText(std::string_view bytes);

// Takes the drive through the manager's entry points (`holdDetail` may be
// null); the hold releases it there when destroyed. Empty unless the drive
// is taken (Taken, TakenShared).
Hold HoldDriveThroughManager(HoldASPI32DeviceFn holdDevice, HoldASPI32DeviceDetailFn holdDetail, uint8_t adapter,
                             uint8_t target, DriveLockVerdict *verdict);

// What was found at a lock file's path, step by step.
struct LockFileFacts {
    static constexpr int kNotTried = -1;
    int openError = 0;  // errno of the open; 0: opened
    mode_t type = 0;    // the S_IFMT bits of the file opened
    uid_t owner = 0;    // the file's owner
    uid_t user = 0;     // the process's effective user
    int lockError = kNotTried;  // errno of flock(LOCK_EX | LOCK_NB); 0: taken
};
enum class LockFileVerdict {
    Taken,
    HeldElsewhere,  // another process holds the file's lock
    SymbolicLink,   // the path is a symbolic link (the open refused to follow it)
    CannotOpen,     // no file could be opened or made there
    NotRegular,     // a named pipe, a device, a folder, a socket
    ForeignOwner,   // the file belongs to another user, who could hold it for ever
    CannotLock,     // the lock was refused otherwise
    LockNotTried,   // nothing refuses the file so far: its lock is to be tried
};
// Decided in this order: the open (a symbolic link, then any other error),
// the kind of file, its owner (the user or root), the lock.
LockFileVerdict JudgeLockFile(const LockFileFacts &facts);
// The verdict as the program acts on it, with the sentence that says why.
DriveLockVerdict ExplainLockFile(LockFileVerdict verdict, const LockFileFacts &facts, const std::string &path);

// The lock file's name for a drive, in `folder`.
std::string DriveLockPath(const std::string &folder, uint8_t adapter, uint8_t target);

// Takes the drive's lock file without waiting. `state` tells how it went,
// `problem` (when given) why for Unsafe; the hold is empty unless Taken.
Hold TakeDriveLock(uint8_t adapter, uint8_t target, DriveLockState *state, std::string *problem = nullptr);
// The same in a folder of the caller's choosing.
Hold TakeDriveLockIn(const std::string &folder, uint8_t adapter, uint8_t target, DriveLockState *state,
                     std::string *problem = nullptr);
