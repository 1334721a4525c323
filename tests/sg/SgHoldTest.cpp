// The SG_IO manager's hold of a device (HoldASPI32Device) against a scripted
// system: which nodes it locks, how and in what order, what another holder
// and a refused lock make of it, and what it says on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <cerrno>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aspi/sg/SgHold.h"
#include "aspi/sg/SgManager.h"
#include "tests/sg/FakeSgSystem.h"

using sgaspi::DecideHold;
using sgaspi::HoldFacts;
using sgaspi::HoldVerdict;
using sgaspi::SgManager;

namespace {

using Log = std::vector<std::string>;
using Nodes = std::set<std::string>;

// A disk alone on host 0 and the drive on host 2, target 1: /dev/sg3, whose
// block node is /dev/sr1. Root numbers the drive's host as adapter 1; a
// user who may not open the disk's node numbers it as adapter 0.
void DiskAndDrive(FakeSgSystem &system, int diskOpenErrno) {
    system.AddNode(0, "0:0:0:0", diskOpenErrno);
    system.SetDevice(0, 0, "ATA     ", "DISK            ");
    system.AddNode(3, "2:0:1:0");
    system.SetDevice(3, 5, "QUORVEL ", "CDRW-4824A      ");
    system.AddCdDvdDrive("sr1", "2:0:1:0", "QUORVEL ", "CDRW-4824A      ");
}

TEST(SgHold, TheDriveItselfIsLockedWhateverNumberTheCallerGivesIt) {
    FakeSgSystem asRoot, asUser;
    DiskAndDrive(asRoot, 0);
    DiskAndDrive(asUser, EACCES);
    SgManager root(asRoot), user(asUser);
    ASSERT_EQ(root.Hold(1, 1, HOLD_TAKE), HOLD_HELD);
    ASSERT_EQ(user.Hold(0, 1, HOLD_TAKE), HOLD_HELD);
    // The sg node first, then the block node opened read-only and without
    // waiting for a medium, both locked without waiting.
    for (FakeSgSystem *system : {&asRoot, &asUser}) {
        EXPECT_EQ(system->lockLog, (Log{"lock /dev/sg3", "open /dev/sr1", "lock /dev/sr1"}));
        EXPECT_EQ(system->blockOpenFlags, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(system->locked, (Nodes{"/dev/sg3", "/dev/sr1"}));
    }

    // Let go in the reverse order; a second release finds nothing to do.
    EXPECT_EQ(root.Hold(1, 1, HOLD_RELEASE), HOLD_RELEASED);
    EXPECT_EQ(asRoot.lockLog,
              (Log{"lock /dev/sg3", "open /dev/sr1", "lock /dev/sr1", "close /dev/sr1", "unlock /dev/sg3"}));
    EXPECT_TRUE(asRoot.locked.empty());
    EXPECT_EQ(root.Hold(1, 1, HOLD_RELEASE), HOLD_RELEASED);
    EXPECT_EQ(asRoot.lockLog.size(), 5u);
    EXPECT_TRUE(asRoot.reports.empty());
}

TEST(SgHold, BothNodesAreLockedExclusively) {
    // Shared, either lock would let another shared holder in beside the
    // flash: the device manager's probe on the block node, another take of
    // this manager's on either.
    FakeSgSystem system;
    DiskAndDrive(system, 0);
    SgManager manager(system);
    ASSERT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD);
    EXPECT_EQ(system.flocks, (std::vector<std::pair<std::string, int>>{{"/dev/sg3", LOCK_EX | LOCK_NB},
                                                                        {"/dev/sr1", LOCK_EX | LOCK_NB}}));
}

TEST(SgHold, AnotherHolderOfEitherNodeIsBusyAndNothingStaysHeld) {
    FakeSgSystem system;
    DiskAndDrive(system, 0);
    SgManager manager(system);
    // Another program flashing the drive: its block node is not even opened.
    system.lockErrno["/dev/sg3"] = EWOULDBLOCK;
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_BUSY);
    EXPECT_EQ(system.lockLog, (Log{"lock /dev/sg3"}));
    // The device manager probing the drive (its shared lock on the block node).
    system.lockErrno = {{"/dev/sr1", EWOULDBLOCK}};
    system.lockLog.clear();
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_BUSY);
    EXPECT_EQ(system.lockLog,
              (Log{"lock /dev/sg3", "open /dev/sr1", "lock /dev/sr1", "close /dev/sr1", "unlock /dev/sg3"}));
    EXPECT_TRUE(system.locked.empty());
    EXPECT_TRUE(system.reports.empty()) << "a busy drive is the program's box to tell";

    // Two holds in one process are two holders as well.
    system.lockErrno.clear();
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD);
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_BUSY);
    EXPECT_EQ(manager.Hold(1, 1, HOLD_RELEASE), HOLD_RELEASED);
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD);
}

TEST(SgHold, ABlockNodeTheUserCannotOpenLeavesTheSgNodeGuardingItSaidOnce) {
    FakeSgSystem system;
    DiskAndDrive(system, 0);
    system.blockOpenErrno["/dev/sr1"] = EACCES;
    SgManager manager(system);
    for (int flash = 0; flash < 2; ++flash) {
        ASSERT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD);
        EXPECT_EQ(system.locked, (Nodes{"/dev/sg3"}));
        EXPECT_EQ(manager.Hold(1, 1, HOLD_RELEASE), HOLD_RELEASED);
        EXPECT_TRUE(system.locked.empty());
    }
    EXPECT_EQ(system.reports, (Log{"quorvel: /dev/sr1 (QUORVEL CDRW-4824A) cannot be opened: Permission denied; "
                                   "the drive is guarded through /dev/sg3 alone: other programs that lock it stay "
                                   "off, but the device manager (udev) may probe it during the flash."}));
}

TEST(SgHold, ALockTheSystemRefusesOtherwiseCannotBeHadAndSaysWhy) {
    FakeSgSystem system;
    DiskAndDrive(system, 0);
    system.lockErrno["/dev/sr1"] = ENOLCK;
    SgManager manager(system);
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_CANNOT);
    EXPECT_TRUE(system.locked.empty());
    system.lockErrno = {{"/dev/sg3", ENOLCK}};
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_CANNOT);
    EXPECT_EQ(system.reports,
              (Log{"quorvel: /dev/sr1 (QUORVEL CDRW-4824A) cannot be locked: No locks available; no flash can "
                   "start on the drive.",
                   "quorvel: /dev/sg3 (QUORVEL CDRW-4824A) cannot be locked: No locks available; no flash can "
                   "start on the drive."}));

    // No device at the address, or a request of no meaning: nothing is touched.
    system.lockErrno.clear();
    system.lockLog.clear();
    EXPECT_EQ(manager.Hold(1, 2, HOLD_TAKE), HOLD_CANNOT);
    EXPECT_EQ(manager.Hold(2, 1, HOLD_TAKE), HOLD_CANNOT);
    EXPECT_EQ(manager.Hold(1, 8, HOLD_TAKE), HOLD_CANNOT);
    EXPECT_EQ(manager.Hold(1, 1, 0), HOLD_CANNOT);
    EXPECT_TRUE(system.lockLog.empty());
}

TEST(SgHold, ADeviceWithoutABlockNodeIsHeldByItsSgNode) {
    FakeSgSystem system;
    system.AddNode(0, "0:0:0:0");
    SgManager manager(system);
    EXPECT_EQ(manager.Hold(0, 0, HOLD_TAKE), HOLD_HELD);
    EXPECT_EQ(system.lockLog, (Log{"lock /dev/sg0"}));
    EXPECT_TRUE(system.reports.empty());
}

TEST(SgHold, TheSgNodesAnswerComesFirstThenTheBlockNodes) {
    HoldFacts facts;
    facts.nodeLockError = EWOULDBLOCK;
    facts.blockNode = HoldFacts::BlockNode::Found;
    facts.blockOpenError = facts.blockLockError = 0;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Busy);
    facts.nodeLockError = 0;
    facts.blockOpenError = ENOENT;  // a node udev has not made (yet): nothing to lock there
    facts.blockLockError = EWOULDBLOCK;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::HeldByNodeAlone);
}

}  // namespace
