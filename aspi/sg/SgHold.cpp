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
namespace {
// Enough for the mount table of a machine with thousands of mounts.
constexpr size_t kMountTableLimit = 4 << 20;
}  // namespace

HoldVerdict DecideHold(const HoldFacts &facts) {
    using BlockNode = HoldFacts::BlockNode;
    using Mount = HoldFacts::Mount;
    constexpr int kNotTried = HoldFacts::kNotTried;
    if (facts.nodeLockError == kNotTried) return HoldVerdict::Undecided;
    if (facts.nodeLockError == EWOULDBLOCK) return HoldVerdict::Busy;
    if (facts.nodeLockError != 0) return HoldVerdict::Cannot;
    if (facts.blockNode == BlockNode::NotLookedFor) return HoldVerdict::Undecided;
    // No block node: nothing else can reach the device but through sg, and
    // no sr driver polls it.
    if (facts.blockNode == BlockNode::None) return HoldVerdict::Held;
    if (facts.exclusiveOpenError == kNotTried) return HoldVerdict::Undecided;
    if (facts.exclusiveOpenError != 0) {
        // Busy means someone claims the device exclusively: the kernel's
        // filesystem of a mounted disc, or a disc writer.
        if (facts.mount == Mount::NotLookedFor) return HoldVerdict::Undecided;
        if (facts.mount == Mount::Mounted) return HoldVerdict::Mounted;
        if (facts.exclusiveOpenError == EBUSY) return HoldVerdict::InUse;
        // Any other refusal, a block node this user may not write to above
        // all: the drive is held as it was before the exclusive open, and
        // the kernel's polling goes on.
        if (facts.sharedOpenError == kNotTried) return HoldVerdict::Undecided;
        if (facts.sharedOpenError != 0) return HoldVerdict::HeldByNodeAlone;
    }
    if (facts.blockLockError == kNotTried) return HoldVerdict::Undecided;
    if (facts.blockLockError == EWOULDBLOCK) return HoldVerdict::Busy;
    if (facts.blockLockError != 0) return HoldVerdict::Cannot;
    return facts.exclusiveOpenError == 0 ? HoldVerdict::Held : HoldVerdict::HeldShared;
}

std::optional<std::string> MountPointOf(std::string_view mountinfo, std::string_view majorMinor) {
    // A line: ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS ... - TYPE SOURCE
    // OPTIONS; the kernel escapes blank, tab, line end and backslash in the
    // paths as \ooo.
    while (!mountinfo.empty()) {
        const size_t end = std::min(mountinfo.find('\n'), mountinfo.size());
        std::string_view line = mountinfo.substr(0, end);
        mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
        std::string_view fields[5];
        size_t count = 0;
        while (count < 5 && !line.empty()) {
            const size_t blank = std::min(line.find(' '), line.size());
            fields[count++] = line.substr(0, blank);
            line.remove_prefix(std::min(blank + 1, line.size()));
        }
        if (count < 5 || fields[2] != majorMinor) continue;
        std::string point;
        const std::string_view escaped = fields[4];
        for (size_t i = 0; i < escaped.size(); ++i) {
            const auto octal = [&](size_t at) { return escaped[at] >= '0' && escaped[at] <= '7'; };
            if (escaped[i] == '\\' && i + 3 < escaped.size() && escaped[i + 1] <= '3' && octal(i + 1) &&
                octal(i + 2) && octal(i + 3)) {
                point += static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 + (escaped[i + 3] - '0'));
                i += 3;
            } else {
                point += escaped[i];
            }
        }
        return point;
    }
    return std::nullopt;
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

std::string SgManager::HoldDetail(uint8_t adapter, uint8_t target) {
    std::lock_guard lock(holdMutex_);
    const auto holding = holdings_.find({adapter, target});
    return holding == holdings_.end() ? std::string() : holding->second.detail;
}

uint32_t SgManager::TakeHold(const Node &node, std::pair<int, int> address) {
    Holding &holding = holdings_[address];
    if (holding.held) return HOLD_BUSY;
    holding.detail.clear();

    // Each step only while the ones before it leave the answer open.
    HoldFacts facts;
    facts.nodeLockError = system_.Flock(node.fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    std::string blockName, blockPath, mountPoint;
    int blockFd = -1;
    if (DecideHold(facts) == HoldVerdict::Undecided) {
        // The kernel's own link from the device to its block node: the same
        // device whoever asks, however the hosts are numbered.
        const std::vector<std::string> names = system_.ListDirectory(node.entry + "/device/block");
        facts.blockNode = names.empty() ? HoldFacts::BlockNode::None : HoldFacts::BlockNode::Found;
        if (!names.empty()) {
            blockName = names.front();
            blockPath = deviceDirectory_ + "/" + blockName;
            // For writing and exclusively, as disc writers open it: the sr
            // driver blocks its media events (DISK_EVENT_FLAG_BLOCK_ON_EXCL_
            // WRITE) until the close, and a mounted disc or a writer at work
            // refuses it. Non-blocking: no medium is needed. The sr driver
            // writes nothing to the drive at the close of such an open.
            blockFd = system_.Open(blockPath, O_WRONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
            facts.exclusiveOpenError = blockFd >= 0 ? 0 : errno;
        }
    }
    if (DecideHold(facts) == HoldVerdict::Undecided && facts.exclusiveOpenError > 0 &&
        facts.mount == HoldFacts::Mount::NotLookedFor) {
        const std::optional<std::string> point =
            MountPointOf(system_.ReadFile("/proc/self/mountinfo", kMountTableLimit),
                         system_.ReadText(blockDirectory_ + "/" + blockName + "/dev"));
        facts.mount = point ? HoldFacts::Mount::Mounted : HoldFacts::Mount::None;
        if (point) mountPoint = *point;
    }
    if (DecideHold(facts) == HoldVerdict::Undecided && facts.exclusiveOpenError > 0 &&
        facts.sharedOpenError == HoldFacts::kNotTried) {
        blockFd = system_.Open(blockPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        facts.sharedOpenError = blockFd >= 0 ? 0 : errno;
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
    case HoldVerdict::HeldShared:
    case HoldVerdict::HeldByNodeAlone:
        holding.held = true;
        holding.blockFd = blockFd;
        if (verdict == HoldVerdict::HeldByNodeAlone && !holding.toldNodeAlone) {
            holding.toldNodeAlone = true;
            system_.Report("quorvel: " + blockPath + named() + " cannot be opened: " +
                           std::strerror(facts.sharedOpenError) + "; the drive is guarded through " + node.path +
                           " alone: other programs that lock it stay off, but the device manager (udev) may "
                           "probe it during the flash.");
        }
        return verdict == HoldVerdict::Held ? HOLD_HELD : HOLD_HELD_SHARED;
    case HoldVerdict::Mounted:
    case HoldVerdict::InUse:
    case HoldVerdict::Busy:
    case HoldVerdict::Cannot:
    case HoldVerdict::Undecided:
        break;
    }
    if (blockFd >= 0) system_.Close(blockFd);
    if (facts.nodeLockError == 0) system_.Flock(node.fd, LOCK_UN);
    if (verdict == HoldVerdict::Busy) return HOLD_BUSY;
    if (verdict == HoldVerdict::InUse) return HOLD_IN_USE;
    if (verdict == HoldVerdict::Mounted) {
        holding.detail = mountPoint;
        return HOLD_MOUNTED;
    }
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
    // its lock, and of its exclusive claim.
    if (holding->second.blockFd >= 0) system_.Close(holding->second.blockFd);
    holding->second.blockFd = -1;
    system_.Flock(node.fd, LOCK_UN);
    holding->second.held = false;
    return HOLD_RELEASED;
}

}  // namespace sgaspi
