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
    // The sg node first, then the block node opened for writing alone,
    // without waiting for a medium, both locked without waiting.
    for (FakeSgSystem *system : {&asRoot, &asUser}) {
        EXPECT_EQ(system->lockLog, (Log{"lock /dev/sg3", "open-exclusive /dev/sr1", "lock /dev/sr1"}));
        EXPECT_EQ(system->blockOpenFlags, O_WRONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(system->locked, (Nodes{"/dev/sg3", "/dev/sr1"}));
    }

    // Let go in the reverse order; a second release finds nothing to do.
    EXPECT_EQ(root.Hold(1, 1, HOLD_RELEASE), HOLD_RELEASED);
    EXPECT_EQ(asRoot.lockLog,
              (Log{"lock /dev/sg3", "open-exclusive /dev/sr1", "lock /dev/sr1", "close /dev/sr1",
                   "unlock /dev/sg3"}));
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
    EXPECT_EQ(system.lockLog, (Log{"lock /dev/sg3", "open-exclusive /dev/sr1", "lock /dev/sr1", "close /dev/sr1",
                                   "unlock /dev/sg3"}));
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
        ASSERT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD_SHARED) << "the kernel's polling goes on";
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

TEST(SgHold, ABlockNodeNotWritableForThisUserIsHeldReadOnlyAsBeforeAndSaysThePollingGoesOn) {
    // Every refusal of the exclusive open but busy: a node of mode 0640, a
    // read-only device, a node udev has not made writable yet.
    for (const int error : {EACCES, EPERM, EROFS}) {
        FakeSgSystem system;
        DiskAndDrive(system, 0);
        system.blockWriteErrno["/dev/sr1"] = error;
        SgManager manager(system);
        ASSERT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD_SHARED) << error;
        EXPECT_EQ(system.lockLog, (Log{"lock /dev/sg3", "open-exclusive /dev/sr1", "open /dev/sr1", "lock /dev/sr1"}));
        EXPECT_EQ(system.blockOpenFlags, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(system.locked, (Nodes{"/dev/sg3", "/dev/sr1"}));
        EXPECT_TRUE(system.reports.empty()) << "the program says the one line";
        EXPECT_EQ(manager.Hold(1, 1, HOLD_RELEASE), HOLD_RELEASED);
        EXPECT_TRUE(system.locked.empty());
    }
}

// /proc/self/mountinfo with the disc of /dev/sr1 (11:1) mounted where a
// desktop mounts it, a label with a blank in it; 11:10 is another drive.
const std::string kMountTable =
    "22 1 253:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
    "97 22 11:10 / /media/user/OTHER rw,nosuid shared:51 - iso9660 /dev/sr10 ro\n"
    "98 22 11:1 / /media/user/MY\\040DISC ro,nosuid,nodev shared:52 - iso9660 /dev/sr1 ro,uid=1000\n"
    "99 22 11:1 / /mnt/again ro shared:53 - iso9660 /dev/sr1 ro\n";

TEST(SgHold, AMountedDiscRefusesTheDriveNamingWhereAndTakesNothing) {
    FakeSgSystem system;
    DiskAndDrive(system, 0);
    system.blockWriteErrno["/dev/sr1"] = EBUSY;
    system.files["/proc/self/mountinfo"] = kMountTable;
    SgManager manager(system);
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_MOUNTED);
    EXPECT_EQ(manager.HoldDetail(1, 1), "/media/user/MY DISC");
    EXPECT_EQ(system.lockLog, (Log{"lock /dev/sg3", "open-exclusive /dev/sr1", "unlock /dev/sg3"}));
    EXPECT_TRUE(system.locked.empty());
    EXPECT_TRUE(system.reports.empty()) << "the program names the mount point";

    // Where the exclusive open cannot be had for want of write access, a
    // mounted disc still refuses the drive: the kernel reads it meanwhile.
    system.blockWriteErrno["/dev/sr1"] = EACCES;
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_MOUNTED);
    EXPECT_TRUE(system.locked.empty());

    // Unmounted, the same busy open is another program's exclusive hold,
    // and the mount point of the answer before is gone with it.
    system.files["/proc/self/mountinfo"] = kMountTable.substr(0, kMountTable.find("98 "));
    system.blockWriteErrno["/dev/sr1"] = EBUSY;
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_IN_USE);
    EXPECT_EQ(manager.HoldDetail(1, 1), "");
    EXPECT_TRUE(system.locked.empty());
    system.blockWriteErrno.clear();
    EXPECT_EQ(manager.Hold(1, 1, HOLD_TAKE), HOLD_HELD);
}

TEST(SgHold, TheMountPointIsReadByDeviceNumbersWithTheKernelsEscapesUndone) {
    using sgaspi::MountPointOf;
    EXPECT_EQ(MountPointOf(kMountTable, "11:1"), "/media/user/MY DISC") << "the first of two";
    EXPECT_EQ(MountPointOf(kMountTable, "11:10"), "/media/user/OTHER");
    EXPECT_EQ(MountPointOf(kMountTable, "11:0"), std::nullopt);
    EXPECT_EQ(MountPointOf(kMountTable, ""), std::nullopt);
    EXPECT_EQ(MountPointOf("", "11:1"), std::nullopt);
    // Tab, line end, backslash; the highest byte; escapes that are none stay
    // as they are; a zero byte is kept for the caller to show safely.
    EXPECT_EQ(MountPointOf("1 2 11:1 / /a\\011b\\012c\\134d\\377 ro - x y z", "11:1"),
              std::string("/a\tb\nc\\d\xff"));
    EXPECT_EQ(MountPointOf("1 2 11:1 / /x\\400\\08\\1\\ ro", "11:1"), "/x\\400\\08\\1\\");
    EXPECT_EQ(MountPointOf("1 2 11:1 / /z\\000", "11:1"), std::string("/z\0", 3));
    // A line cut short names no mount point; the next whole one does.
    EXPECT_EQ(MountPointOf("1 2 11:1 /\n3 4 11:1 / /m ro", "11:1"), "/m");
    EXPECT_EQ(MountPointOf("1 2 11:1", "11:1"), std::nullopt);
}

TEST(SgHold, TheSgNodesAnswerComesFirstThenTheBlockNodes) {
    using Mount = HoldFacts::Mount;
    HoldFacts facts;
    facts.nodeLockError = EWOULDBLOCK;
    facts.blockNode = HoldFacts::BlockNode::Found;
    facts.exclusiveOpenError = EBUSY;
    facts.mount = Mount::Mounted;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Busy) << "another QUORVEL first";
    facts.nodeLockError = 0;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Mounted);
    facts.mount = Mount::None;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::InUse);
    facts.mount = Mount::NotLookedFor;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Undecided) << "busy is told apart by the mount table";

    facts.exclusiveOpenError = EACCES;
    facts.mount = Mount::None;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Undecided);
    facts.sharedOpenError = ENOENT;  // a node udev has not made (yet): nothing to lock there
    facts.blockLockError = EWOULDBLOCK;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::HeldByNodeAlone);
    facts.sharedOpenError = 0;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Busy) << "the device manager's probe";
    facts.blockLockError = 0;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::HeldShared);
    facts.exclusiveOpenError = 0;
    EXPECT_EQ(DecideHold(facts), HoldVerdict::Held);
}

TEST(SgHold, TransportIsTheBusTheDeviceHangsFrom) {
    using sgaspi::DecideTransport;
    using Chain = std::vector<sgaspi::SysfsAncestor>;
    const Chain scsiPart = {{"6:0:0:0", "scsi"}, {"target6:0:0", "scsi"}, {"host6", "scsi"}};
    const auto with = [&](Chain above) {
        Chain chain = scsiPart;
        chain.insert(chain.end(), above.begin(), above.end());
        return DecideTransport(chain);
    };
    // A SATA drive in a USB enclosure is the USB bridge's.
    EXPECT_EQ(with({{"1-1:1.0", "usb"}, {"1-1", "usb"}, {"usb1", "usb"}, {"0000:00:14.0", "pci"}}), TRANSPORT_USB);
    EXPECT_EQ(with({{"ata2", ""}, {"0000:00:1f.2", "pci"}, {"pci0000:00", ""}}), TRANSPORT_ATA);
    EXPECT_EQ(with({{"virtio1", "virtio"}, {"0000:00:04.0", "pci"}}), TRANSPORT_SCSI);
    EXPECT_EQ(with({{"adapter0", "pseudo"}, {"pseudo_0", ""}}), TRANSPORT_VIRTUAL);
    EXPECT_EQ(with({{"tcm_loop_adapter_0", "tcm_loop_bus"}, {"tcm_loop_0", ""}}), TRANSPORT_VIRTUAL);
    EXPECT_EQ(with({{"atapi", ""}, {"ata", ""}, {"adapter0", "pseudo"}}), TRANSPORT_VIRTUAL) << "not an ATA port";
    EXPECT_EQ(DecideTransport({}), TRANSPORT_UNKNOWN);

    // Through the manager: the directories from the device's real path up to
    // /sys/devices, each with its subsystem link.
    FakeSgSystem system;
    DiskAndDrive(system, 0);
    const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host2/target2:0:1/2:0:1:0";
    system.realPaths["/sys/class/scsi_generic/sg3/device"] = usb;
    system.links[usb + "/subsystem"] = "../../../../../../../../bus/scsi";
    system.links["/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/subsystem"] = "../../../../bus/usb";
    SgManager manager(system);
    EXPECT_EQ(manager.Transport(1, 1), TRANSPORT_USB);
    system.links.clear();
    EXPECT_EQ(manager.Transport(1, 1), TRANSPORT_VIRTUAL) << "no bus above it";
    system.realPaths.clear();
    EXPECT_EQ(manager.Transport(1, 1), TRANSPORT_UNKNOWN) << "no path to go by";
    EXPECT_EQ(manager.Transport(1, 2), TRANSPORT_UNKNOWN) << "no device";
    EXPECT_EQ(manager.Transport(9, 0), TRANSPORT_UNKNOWN);
}

}  // namespace
