// The hold of one device (HoldASPI32Device): what its take found, and the
// answer those findings give. SgManager takes and releases it; the answer is
// a function of the findings alone, so that its order reads as one rule.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sgaspi {

// What taking a device's hold found, step by step (HoldASPI32Device).
struct HoldFacts {
    static constexpr int kNotTried = -1;
    enum class BlockNode { NotLookedFor, None, Found };
    enum class Mount { NotLookedFor, None, Mounted };
    int nodeLockError = kNotTried;  // errno of flock(LOCK_EX | LOCK_NB) on the sg node; 0: taken
    BlockNode blockNode = BlockNode::NotLookedFor;  // the device's block node (/dev/srN)
    // errno of opening it for writing, exclusively and non-blocking, as disc
    // writers do: the sr driver then stops polling the drive; 0: opened
    int exclusiveOpenError = kNotTried;
    Mount mount = Mount::NotLookedFor;  // a filesystem of the device's in this process's mount table
    int sharedOpenError = kNotTried;    // errno of opening it read-only instead; 0: opened
    int blockLockError = kNotTried;     // errno of flock(LOCK_EX | LOCK_NB) on the one opened; 0: taken
};
enum class HoldVerdict {
    Held,             // the sg node locked and the block node held for writing alone (or there is none)
    HeldShared,       // both nodes locked, the block node open read-only: the kernel's polling goes on
    HeldByNodeAlone,  // the block node cannot be opened at all: the sg node alone is locked
    Busy,             // another process holds the lock of one of the two
    Mounted,          // a disc in the drive is mounted
    InUse,            // another opener holds the block node exclusively (a disc writer)
    Cannot,           // the system refused a lock otherwise
    Undecided,        // the next step is to be tried
};
// In this order: the sg node's lock (every program that sends the device
// commands has that node); no block node; the block node opened for writing
// with O_EXCL: refused as busy, a mounted disc or else another exclusive
// opener; refused otherwise (above all a node this user may not write to),
// a mounted disc still refuses, then the block node is opened read-only as
// far as it can be; last the lock of the one opened, which the device
// manager (udev) also asks for, shared, before it probes the device.
HoldVerdict DecideHold(const HoldFacts &facts);

// Where /proc/self/mountinfo (its text) has the block device "MAJOR:MINOR"
// mounted first, its octal escapes (\040 and the like) undone; nothing when
// it is not mounted. The bytes are whatever the mount's owner named it.
std::optional<std::string> MountPointOf(std::string_view mountinfo, std::string_view majorMinor);

}  // namespace sgaspi
