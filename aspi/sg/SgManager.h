// The ASPI manager over the Linux SG_IO pass-through: adapters are the SCSI
// hosts that have /dev/sg nodes, numbered from 0 in ascending host number; a
// device is reached at its SCSI target (channel 0, logical unit 0, targets 0
// to 7). Every command is one synchronous SG_IO call, completed before
// SendASPI32Command returns.
#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "aspi/sg/SgSystem.h"
#include "platform/wnaspi32.h"

namespace sgaspi {

// Published ASPI values the program itself does not use.
constexpr uint8_t SS_INVALID_SRB = 0xE0;    // a record field out of range
constexpr uint8_t SS_BUFFER_TO_BIG = 0xE6;  // more data than one command can carry
constexpr uint8_t HASTAT_OK = 0x00;
constexpr uint8_t HASTAT_TIMEOUT = 0x09;
constexpr uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;
constexpr uint8_t HASTAT_BUS_RESET = 0x0E;
constexpr uint8_t HASTAT_PARITY_ERROR = 0x0F;
constexpr uint8_t HASTAT_SEL_TO = 0x11;
constexpr uint8_t HASTAT_PHASE_ERR = 0x14;

constexpr int kTargetsPerAdapter = 8;
// INQUIRY is answered without touching the medium: a few seconds are plenty.
constexpr unsigned kInquiryTimeoutMs = 5'000;
// Everything else may be a drive writing its flash, which takes minutes.
constexpr unsigned kCommandTimeoutMs = 10 * 60 * 1'000;
// Behind a USB bridge: a bridge that has dropped a command (many drop the
// vendor commands they do not know, or hang on them) never answers it, and
// the kernel gets it back only when the command's time runs out, by resetting
// its USB port. Two minutes are left to a drive writing its flash behind such
// a bridge, and a dropped command is told in two minutes instead of ten.
constexpr unsigned kUsbCommandTimeoutMs = 2 * 60 * 1'000;
// Used when the kernel does not say how much one command may carry.
constexpr uint32_t kFallbackMaxTransfer = 65'536;
constexpr size_t kSenseBufferSize = 96;  // the kernel's own sense buffer size

struct ScsiAddress {
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;
    bool operator==(const ScsiAddress &) const = default;
};

// "H:C:T:L", as sysfs names a SCSI device; nothing else.
std::optional<ScsiAddress> ParseScsiAddress(std::string_view text);

enum class Direction { None, FromDevice, ToDevice, Invalid };
// SRB_DIR_IN reads, SRB_DIR_OUT writes; neither bit with data writes (the
// download command carries its block out with neither bit set); no data
// moves nothing; both bits at once is no valid request.
Direction TransferDirection(uint8_t flags, uint32_t dataLength);

// The command's time limit: INQUIRY's whatever the device, every other
// command's by how the device is attached (GetASPI32DeviceTransport's answer).
unsigned TimeoutFor(const uint8_t *cdb, int cdbLength, uint32_t transport);

// The record's outcome after one SG_IO call.
struct SrbOutcome {
    uint8_t status = SS_COMP;
    uint8_t haStat = HASTAT_OK;
    uint8_t targStat = 0;
};
// In this order: the call's own error, the host status, the driver status
// other than its sense flag, a SCSI status other than GOOD. Only a clean
// result is SS_COMP.
SrbOutcome MapSgResult(int callResult, int callErrno, const sg_io_hdr_t &header);
uint8_t HostAdapterStatus(unsigned hostStatus, unsigned driverStatus);

// What discovery saw of the system, kept to say why a drive cannot be
// reached.
struct SgNodeSeen {  // one /sys/class/scsi_generic entry
    std::string path;  // "/dev/sg1"
    std::string dev;   // "21:1", the node's device numbers as sysfs gives them
    std::optional<ScsiAddress> address;
    bool cdDvd = false;     // its device is a CD/DVD drive (type 5); known when writeError
    std::string identity;   // vendor and model as sysfs shows them; known when writeError
    int writeError = 0;     // errno of the read-write open; 0 when it opened
    bool listed = false;    // opened at all, read-only when writeError
};
struct CdDvdDriveSeen {  // one /sys/class/block/srN
    std::string name;  // "sr0"
    std::optional<ScsiAddress> address;
    std::string identity;
};
struct DiscoverySeen {
    std::vector<SgNodeSeen> nodes;
    std::vector<CdDvdDriveSeen> drives;
};

// Why drives cannot be reached, in words a user can act on, one line each,
// in this order: no sg node at all (the sg driver is not loaded); a CD/DVD
// drive the kernel sees that has no sg node; a CD/DVD drive's node that
// cannot be opened for writing. Nothing when nothing stands in the way.
std::vector<std::string> UnreachableReasons(const DiscoverySeen &seen);

// One directory on the way from a device up to /sys/devices: its name and
// the name of the subsystem (bus or class) it belongs to, if any.
struct SysfsAncestor {
    std::string name;
    std::string subsystem;
};
// How a device is attached (GetASPI32DeviceTransport), from its sysfs
// directories, the device's own first: in this order, any of them on the USB
// bus (a USB bridge, whatever adapter lies beyond it); an ATA port's
// ("ataN", libata's, parallel or serial); one on the PCI or platform bus (an
// adapter of the machine's, a virtual machine's among them); otherwise an
// adapter made by software (scsi_debug, the SCSI target's loopback).
// Nothing to go by: unknown.
uint32_t DecideTransport(const std::vector<SysfsAncestor> &fromDevice);

class SgManager {
public:
    // Discovery tells the system's Report, once, why a drive cannot be
    // reached (UnreachableReasons).
    explicit SgManager(SgSystem &system, std::string classDirectory = "/sys/class/scsi_generic",
                       std::string deviceDirectory = "/dev", std::string blockDirectory = "/sys/class/block");
    ~SgManager();
    SgManager(const SgManager &) = delete;
    SgManager &operator=(const SgManager &) = delete;

    // (status << 8) | adapter count; SS_NO_ADAPTERS and 0 with none.
    uint32_t SupportInfo();
    // Runs the request and returns its final SRB_Status, written last.
    uint32_t Send(void *srb);
    // HoldASPI32Device: HOLD_TAKE locks the device's sg node and its block
    // node exclusively, without waiting, and keeps them locked until
    // HOLD_RELEASE (or the process's end); HOLD_HELD, HOLD_BUSY or
    // HOLD_CANNOT, HOLD_RELEASED. Taking it twice is HOLD_BUSY: two flashes
    // of one process are two holders too.
    uint32_t Hold(uint8_t adapter, uint8_t target, uint32_t request);
    // HoldASPI32DeviceDetail: the text of the last take's answer (the mount
    // point for HOLD_MOUNTED); empty otherwise.
    std::string HoldDetail(uint8_t adapter, uint8_t target);
    // GetASPI32DeviceTransport: TRANSPORT_UNKNOWN without a device there.
    uint32_t Transport(uint8_t adapter, uint8_t target);

    // One reachable device: its node, held open from discovery on, so that
    // an address never comes to mean another device.
    struct Node {
        std::string path;
        std::string entry;  // its sysfs directory, "/sys/class/scsi_generic/sg1"
        int fd = -1;
        uint32_t maxTransfer = kFallbackMaxTransfer;
        uint32_t transport = TRANSPORT_UNKNOWN;  // as discovery found it: its commands' time limit
    };
    struct Adapter {
        int host = 0;
        std::array<std::optional<Node>, kTargetsPerAdapter> targets;
    };
    const std::vector<Adapter> &Adapters();

private:
    void Discover();
    std::vector<CdDvdDriveSeen> CdDvdDrives();
    std::string Identity(const std::string &deviceDirectory);
    uint32_t TransportOf(const std::string &entry);
    uint8_t Execute(SRB_ExecSCSICmd *srb);
    uint32_t TakeHold(const Node &node, std::pair<int, int> address);
    uint32_t ReleaseHold(const Node &node, std::pair<int, int> address);

    // A device held for the caller; entries stay to remember what was said.
    struct Holding {
        bool held = false;
        int blockFd = -1;            // the block node, open and locked while held; -1: none
        bool toldNodeAlone = false;  // standard error has said that the sg node alone guards it
        std::string detail;          // the text of the last take's answer
    };

    SgSystem &system_;
    std::string classDirectory_;
    std::string deviceDirectory_;
    std::string blockDirectory_;
    std::once_flag discovered_;
    std::vector<Adapter> adapters_;
    std::mutex holdMutex_;  // the holds may be asked for from any thread
    std::map<std::pair<int, int>, Holding> holdings_;  // by adapter and target
};

}  // namespace sgaspi
