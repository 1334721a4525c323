// The hold of one device (HoldASPI32Device): what its take found, and the
// answer those findings give. SgManager takes and releases it; the answer is
// a function of the findings alone, so that its order reads as one rule.
#pragma once

namespace sgaspi {

// What taking a device's hold found, step by step (HoldASPI32Device).
struct HoldFacts {
    static constexpr int kNotTried = -1;
    enum class BlockNode { NotLookedFor, None, Found };
    int nodeLockError = kNotTried;  // errno of flock(LOCK_EX | LOCK_NB) on the sg node; 0: taken
    BlockNode blockNode = BlockNode::NotLookedFor;  // the device's block node (/dev/srN)
    int blockOpenError = kNotTried;  // errno of opening it read-only and non-blocking; 0: opened
    int blockLockError = kNotTried;  // errno of flock(LOCK_EX | LOCK_NB) on it; 0: taken
};
enum class HoldVerdict {
    Held,             // both nodes locked, or the sg node where the device has no block node
    HeldByNodeAlone,  // the block node cannot be opened: the sg node alone is locked
    Busy,             // another process holds one of the two
    Cannot,           // the system refused a lock otherwise
    Undecided,        // the next step is to be tried
};
// In this order: the sg node's lock (every program that sends the device
// commands has that node); the block node, none or one that cannot be
// opened; the block node's lock, which the device manager (udev) also asks
// for, shared, before it probes the device.
HoldVerdict DecideHold(const HoldFacts &facts);

}  // namespace sgaspi
