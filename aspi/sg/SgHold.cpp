#include "aspi/sg/SgHold.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "aspi/sg/SgManager.h"

namespace sgaspi {

HoldVerdict DecideHold(const HoldFacts &facts) {
    using BlockNode = HoldFacts::BlockNode;
    if (facts.nodeLockError == HoldFacts::kNotTried) return HoldVerdict::Undecided;
    if (facts.nodeLockError == EWOULDBLOCK) return HoldVerdict::Busy;
    if (facts.nodeLockError != 0) return HoldVerdict::Cannot;
    if (facts.blockNode == BlockNode::NotLookedFor) return HoldVerdict::Undecided;
    // No block node: nothing else can reach the device but through sg.
    if (facts.blockNode == BlockNode::None) return HoldVerdict::Held;
    if (facts.blockOpenError == HoldFacts::kNotTried) return HoldVerdict::Undecided;
    if (facts.blockOpenError != 0) return HoldVerdict::HeldByNodeAlone;
    if (facts.blockLockError == HoldFacts::kNotTried) return HoldVerdict::Undecided;
    if (facts.blockLockError == EWOULDBLOCK) return HoldVerdict::Busy;
    if (facts.blockLockError != 0) return HoldVerdict::Cannot;
    return HoldVerdict::Held;
}

uint32_t SgManager::Hold(uint8_t adapter, uint8_t target, uint32_t request) {
    const std::vector<Adapter> &adapters = Adapters();
    if (adapter >= adapters.size() || target >= kTargetsPerAdapter) return HOLD_CANNOT;
    const std::optional<Node> &node = adapters[adapter].targets[target];
    if (!node) return HOLD_CANNOT;
    std::lock_guard lock(holdMutex_);
    if (request == HOLD_TAKE) return TakeHold(*node, {adapter, target});
    if (request == HOLD_RELEASE) return ReleaseHold(*node, {adapter, target});
    return HOLD_CANNOT;
}

uint32_t SgManager::TakeHold(const Node &node, std::pair<int, int> address) {
    Holding &holding = holdings_[address];
    if (holding.held) return HOLD_BUSY;

    // Each step only while the ones before it leave the answer open.
    HoldFacts facts;
    facts.nodeLockError = system_.Flock(node.fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    std::string blockPath;
    int blockFd = -1;
    if (DecideHold(facts) == HoldVerdict::Undecided) {
        // The kernel's own link from the device to its block node: the same
        // device whoever asks, however the hosts are numbered.
        const std::vector<std::string> names = system_.ListDirectory(node.entry + "/device/block");
        facts.blockNode = names.empty() ? HoldFacts::BlockNode::None : HoldFacts::BlockNode::Found;
        if (!names.empty()) {
            blockPath = deviceDirectory_ + "/" + names.front();
            // Read-only and non-blocking: no medium is needed, and its close
            // is no write that would make the device manager rescan it.
            blockFd = system_.Open(blockPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            facts.blockOpenError = blockFd >= 0 ? 0 : errno;
        }
    }
    if (DecideHold(facts) == HoldVerdict::Undecided)
        facts.blockLockError = system_.Flock(blockFd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;

    const HoldVerdict verdict = DecideHold(facts);
    const auto named = [&] {
        const std::string identity = Identity(node.entry + "/device");
        return identity.empty() ? identity : " (" + identity + ")";
    };
    switch (verdict) {
    case HoldVerdict::Held:
    case HoldVerdict::HeldByNodeAlone:
        holding.held = true;
        holding.blockFd = blockFd;
        if (verdict == HoldVerdict::HeldByNodeAlone && !holding.toldNodeAlone) {
            holding.toldNodeAlone = true;
            system_.Report("quorvel: " + blockPath + named() + " cannot be opened: " +
                           std::strerror(facts.blockOpenError) + "; the drive is guarded through " + node.path +
                           " alone: other programs that lock it stay off, but the device manager (udev) may "
                           "probe it during the flash.");
        }
        return HOLD_HELD;
    case HoldVerdict::Busy:
    case HoldVerdict::Cannot:
    case HoldVerdict::Undecided:
        break;
    }
    if (blockFd >= 0) system_.Close(blockFd);
    if (facts.nodeLockError == 0) system_.Flock(node.fd, LOCK_UN);
    if (verdict == HoldVerdict::Busy) return HOLD_BUSY;
    const bool blockRefused = facts.nodeLockError == 0;
    system_.Report("quorvel: " + (blockRefused ? blockPath : node.path) + named() + " cannot be locked: " +
                   std::strerror(blockRefused ? facts.blockLockError : facts.nodeLockError) +
                   "; no flash can start on the drive.");
    return HOLD_CANNOT;
}

uint32_t SgManager::ReleaseHold(const Node &node, std::pair<int, int> address) {
    const auto holding = holdings_.find(address);
    if (holding == holdings_.end() || !holding->second.held) return HOLD_RELEASED;
    // The block node first, the reverse of the take: closing it lets go of
    // its lock.
    if (holding->second.blockFd >= 0) system_.Close(holding->second.blockFd);
    holding->second.blockFd = -1;
    system_.Flock(node.fd, LOCK_UN);
    holding->second.held = false;
    return HOLD_RELEASED;
}

}  // namespace sgaspi
