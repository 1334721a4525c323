#include "aspi/sg/SgManager.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

namespace sgaspi {
namespace {

// Linux host statuses (the adapter's word on the command).
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidBusBusy = 0x02;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;
constexpr unsigned kDidParity = 0x06;
constexpr unsigned kDidReset = 0x08;
// Linux driver statuses: the low bits a status, 0x08 only says that sense
// data came with the answer.
constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kDriverTimeout = 0x06;

constexpr uint8_t kInquiry = 0x12;
constexpr int kSgMinimumVersion = 30000;

bool ParseNumber(std::string_view text, int &value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

std::string Trimmed(std::string text) {
    const size_t end = text.find_last_not_of(" \t");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text.substr(std::min(text.size(), text.find_first_not_of(" \t")));
}

// The address at the end of a sysfs device link ("../../../2:0:1:0").
std::optional<ScsiAddress> LinkedAddress(const std::string &link) {
    return ParseScsiAddress(std::string_view(link).substr(link.rfind('/') + 1));
}

// "sg12" -> 12; anything else is no sg node.
std::optional<int> NodeNumber(std::string_view name) {
    if (name.size() < 3 || name.substr(0, 2) != "sg") return std::nullopt;
    const std::string_view digits = name.substr(2);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    int number = 0;
    if (!ParseNumber(digits, number)) return std::nullopt;
    return number;
}

}  // namespace

std::optional<ScsiAddress> ParseScsiAddress(std::string_view text) {
    int parts[4];
    for (int i = 0; i < 4; ++i) {
        const size_t colon = text.find(':');
        const std::string_view part = i < 3 ? text.substr(0, colon) : text;
        if (i < 3 && colon == std::string_view::npos) return std::nullopt;
        if (part.empty() || !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        if (!ParseNumber(part, parts[i])) return std::nullopt;
        if (i < 3) text.remove_prefix(colon + 1);
    }
    return ScsiAddress{parts[0], parts[1], parts[2], parts[3]};
}

Direction TransferDirection(uint8_t flags, uint32_t dataLength) {
    const bool in = (flags & SRB_DIR_IN) != 0;
    const bool out = (flags & SRB_DIR_OUT) != 0;
    if (in && out) return Direction::Invalid;
    if (dataLength == 0) return Direction::None;
    return in ? Direction::FromDevice : Direction::ToDevice;
}

unsigned TimeoutFor(const uint8_t *cdb, int cdbLength, uint32_t transport) {
    if (cdbLength > 0 && cdb[0] == kInquiry) return kInquiryTimeoutMs;
    return transport == TRANSPORT_USB ? kUsbCommandTimeoutMs : kCommandTimeoutMs;
}

uint8_t HostAdapterStatus(unsigned hostStatus, unsigned driverStatus) {
    switch (hostStatus) {
    case 0:
        break;
    case kDidNoConnect:
    case kDidBadTarget:
        return HASTAT_SEL_TO;
    case kDidBusBusy:
        return HASTAT_TIMEOUT;
    case kDidTimeOut:
        return HASTAT_COMMAND_TIMEOUT;
    case kDidParity:
        return HASTAT_PARITY_ERROR;
    case kDidReset:
        return HASTAT_BUS_RESET;
    default:
        return HASTAT_PHASE_ERR;
    }
    const unsigned driver = driverStatus & ~kDriverSense;
    if (driver == 0) return HASTAT_OK;
    if ((driver & 0x07) == kDriverTimeout) return HASTAT_COMMAND_TIMEOUT;
    return HASTAT_PHASE_ERR;
}

SrbOutcome MapSgResult(int callResult, int callErrno, const sg_io_hdr_t &header) {
    SrbOutcome outcome;
    if (callResult < 0) {
        // The call itself failed: nothing is known of the device's answer.
        // A node whose device has gone answers ENODEV (or ENXIO).
        outcome.status = (callErrno == ENODEV || callErrno == ENXIO) ? SS_NO_DEVICE : SS_ERR;
        return outcome;
    }
    outcome.haStat = HostAdapterStatus(header.host_status, header.driver_status);
    outcome.targStat = header.status;
    if (header.host_status != 0 || (header.driver_status & ~kDriverSense) != 0 || header.status != 0)
        outcome.status = SS_ERR;
    return outcome;
}

uint32_t DecideTransport(const std::vector<SysfsAncestor> &fromDevice) {
    if (fromDevice.empty()) return TRANSPORT_UNKNOWN;
    const auto any = [&](auto &&test) { return std::any_of(fromDevice.begin(), fromDevice.end(), test); };
    if (any([](const SysfsAncestor &a) { return a.subsystem == "usb"; })) return TRANSPORT_USB;
    if (any([](const SysfsAncestor &a) {
            return a.name.size() > 3 && a.name.compare(0, 3, "ata") == 0 &&
                   std::all_of(a.name.begin() + 3, a.name.end(), [](char c) { return c >= '0' && c <= '9'; });
        }))
        return TRANSPORT_ATA;
    if (any([](const SysfsAncestor &a) { return a.subsystem == "pci" || a.subsystem == "platform"; }))
        return TRANSPORT_SCSI;
    return TRANSPORT_VIRTUAL;
}

std::vector<std::string> UnreachableReasons(const DiscoverySeen &seen) {
    std::vector<std::string> lines;
    const auto named = [](const CdDvdDriveSeen &drive) {
        return drive.name + (drive.identity.empty() ? "" : " (" + drive.identity + ")");
    };
    constexpr const char *kLoadSg = "the SCSI generic driver (sg) is not loaded. Load it with: sudo modprobe sg";

    // No node at all: nothing else can be told apart.
    if (seen.nodes.empty()) {
        if (seen.drives.empty()) {
            lines.push_back(std::string("quorvel: no drive can be reached: ") + kLoadSg);
        } else {
            std::string list;
            for (const CdDvdDriveSeen &drive : seen.drives) list += (list.empty() ? "" : ", ") + named(drive);
            lines.push_back(std::string("quorvel: the CD/DVD drive") + (seen.drives.size() > 1 ? "s " : " ") + list +
                            " cannot be reached: " + kLoadSg);
        }
        return lines;
    }

    // A CD/DVD drive of the kernel's with no node the manager could open.
    for (const CdDvdDriveSeen &drive : seen.drives) {
        if (!drive.address) continue;
        const SgNodeSeen *missing = nullptr;
        bool present = false;
        for (const SgNodeSeen &node : seen.nodes) {
            if (node.address != drive.address) continue;
            if (node.writeError == ENOENT) missing = &node;
            else present = true;
        }
        if (present) continue;
        std::string line = "quorvel: the CD/DVD drive " + named(drive) + " cannot be reached: ";
        if (missing) {
            line += "its SCSI generic node " + missing->path + " does not exist; the device manager (udev) makes it";
            if (const size_t colon = missing->dev.find(':'); colon != std::string::npos)
                line += ", or: sudo mknod -m 660 " + missing->path + " c " + missing->dev.substr(0, colon) + " " +
                        missing->dev.substr(colon + 1) + " && sudo chgrp cdrom " + missing->path;
        } else {
            line += "the SCSI generic driver (sg) has no node for it; loading the driver again makes one: "
                    "sudo modprobe -r sg && sudo modprobe sg";
        }
        lines.push_back(line);
    }

    // A CD/DVD drive's node that this user may not write to.
    for (const SgNodeSeen &node : seen.nodes) {
        if (!node.cdDvd || node.writeError == 0 || node.writeError == ENOENT) continue;
        std::string line = "quorvel: the CD/DVD drive " + (node.identity.empty() ? "" : node.identity + " ") + "(" +
                           node.path + ") cannot be opened for writing: " + std::strerror(node.writeError) + "; " +
                           (node.listed ? "it is listed, but no firmware can be sent to it." : "it is not listed.");
        if (node.writeError == EACCES || node.writeError == EPERM)
            line += " To flash it, use the desktop session of the seat the drive belongs to, or join group cdrom: "
                    "sudo adduser $USER cdrom, then log in again.";
        lines.push_back(line);
    }
    return lines;
}

SgManager::SgManager(SgSystem &system, std::string classDirectory, std::string deviceDirectory,
                     std::string blockDirectory)
    : system_(system),
      classDirectory_(std::move(classDirectory)),
      deviceDirectory_(std::move(deviceDirectory)),
      blockDirectory_(std::move(blockDirectory)) {}

SgManager::~SgManager() {
    for (auto &[address, holding] : holdings_)
        if (holding.blockFd >= 0) system_.Close(holding.blockFd);
    for (Adapter &adapter : adapters_)
        for (auto &node : adapter.targets)
            if (node) system_.Close(node->fd);
}

const std::vector<SgManager::Adapter> &SgManager::Adapters() {
    std::call_once(discovered_, [this] { Discover(); });
    return adapters_;
}

void SgManager::Discover() {
    // Node numbers in ascending order, so that of two nodes at one address
    // (which the kernel never makes) the first always wins.
    std::map<int, std::string> names;
    for (const std::string &name : system_.ListDirectory(classDirectory_))
        if (const auto number = NodeNumber(name)) names.emplace(*number, name);

    DiscoverySeen seen;
    std::map<int, Adapter> hosts;  // ascending host number
    for (const auto &[number, name] : names) {
        (void)number;
        const std::string entry = classDirectory_ + "/" + name;
        const auto address = LinkedAddress(system_.ReadLink(entry + "/device"));
        if (!address) continue;
        const bool reachable = address->channel == 0 && address->lun == 0 && address->target >= 0 &&
                               address->target < kTargetsPerAdapter;
        if (reachable && hosts.count(address->host) && hosts[address->host].targets[address->target]) continue;

        Node node;
        node.path = deviceDirectory_ + "/" + name;
        node.entry = entry;
        SgNodeSeen &nodeSeen = seen.nodes.emplace_back();
        nodeSeen.path = node.path;
        nodeSeen.address = address;
        // Read and write access: the download writes to the device. With
        // read access alone the device can still be identified, but the
        // kernel refuses it every command it does not know as read-safe (the
        // download command among them): such a command fails. A node that
        // cannot be opened at all is passed over.
        node.fd = system_.Open(node.path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (node.fd < 0) {
            nodeSeen.writeError = errno;
            if (nodeSeen.writeError == EACCES || nodeSeen.writeError == EPERM || nodeSeen.writeError == EROFS)
                node.fd = system_.Open(node.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            nodeSeen.cdDvd = system_.ReadText(entry + "/device/type") == "5";
            nodeSeen.identity = Identity(entry + "/device");
            nodeSeen.dev = system_.ReadText(entry + "/dev");
        }
        if (node.fd < 0) continue;
        int version = 0;
        if (system_.Ioctl(node.fd, SG_GET_VERSION_NUM, &version) < 0 || version < kSgMinimumVersion) {
            system_.Close(node.fd);
            continue;
        }
        int maxBytes = 0;
        if (system_.Ioctl(node.fd, BLKSECTGET, &maxBytes) == 0 && maxBytes > 0)
            node.maxTransfer = static_cast<uint32_t>(maxBytes);

        Adapter &adapter = hosts[address->host];
        adapter.host = address->host;
        if (reachable) {
            node.transport = TransportOf(entry);
            adapter.targets[address->target] = std::move(node);
            nodeSeen.listed = true;
        } else {
            // The host has a node, so it is an adapter, but the device sits
            // where no request can address it.
            system_.Close(node.fd);
        }
    }
    for (auto &[host, adapter] : hosts) {
        (void)host;
        if (adapters_.size() == 0xFF) break;  // the record's adapter number has 8 bits
        adapters_.push_back(std::move(adapter));
    }

    seen.drives = CdDvdDrives();
    for (const std::string &line : UnreachableReasons(seen)) system_.Report(line);
}

// The CD/DVD drives the kernel itself has (sr0, sr1, ...), whatever the
// SCSI generic driver has made of them.
std::vector<CdDvdDriveSeen> SgManager::CdDvdDrives() {
    std::map<int, CdDvdDriveSeen> drives;  // in number order
    for (const std::string &name : system_.ListDirectory(blockDirectory_)) {
        if (name.size() < 3 || name.compare(0, 2, "sr") != 0) continue;
        int number = 0;
        const std::string digits = name.substr(2);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            !ParseNumber(digits, number))
            continue;
        CdDvdDriveSeen drive;
        drive.name = name;
        drive.address = LinkedAddress(system_.ReadLink(blockDirectory_ + "/" + name + "/device"));
        drive.identity = Identity(blockDirectory_ + "/" + name + "/device");
        drives.emplace(number, std::move(drive));
    }
    std::vector<CdDvdDriveSeen> list;
    for (auto &[number, drive] : drives) {
        (void)number;
        list.push_back(std::move(drive));
    }
    return list;
}

uint32_t SgManager::Transport(uint8_t adapter, uint8_t target) {
    const std::vector<Adapter> &adapters = Adapters();
    if (adapter >= adapters.size() || target >= kTargetsPerAdapter) return TRANSPORT_UNKNOWN;
    const std::optional<Node> &node = adapters[adapter].targets[target];
    if (!node) return TRANSPORT_UNKNOWN;
    return TransportOf(node->entry);
}

uint32_t SgManager::TransportOf(const std::string &entry) {
    // The device's own directory under /sys/devices, and every one above it.
    constexpr std::string_view kDevices = "/sys/devices/";
    std::string directory = system_.RealPath(entry + "/device");
    std::vector<SysfsAncestor> chain;
    while (directory.size() > kDevices.size() && directory.compare(0, kDevices.size(), kDevices) == 0) {
        const size_t slash = directory.rfind('/');
        const std::string subsystem = system_.ReadLink(directory + "/subsystem");
        chain.push_back({directory.substr(slash + 1), subsystem.substr(subsystem.rfind('/') + 1)});
        directory.erase(slash);
    }
    return DecideTransport(chain);
}

// Vendor and model as sysfs shows them, blanks at either end dropped.
std::string SgManager::Identity(const std::string &deviceDirectory) {
    const std::string vendor = Trimmed(system_.ReadText(deviceDirectory + "/vendor"));
    const std::string model = Trimmed(system_.ReadText(deviceDirectory + "/model"));
    return vendor + (vendor.empty() || model.empty() ? "" : " ") + model;
}

uint32_t SgManager::SupportInfo() {
    const size_t count = Adapters().size();
    if (count == 0) return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
    return (static_cast<uint32_t>(SS_COMP) << 8) | static_cast<uint32_t>(count);
}

uint32_t SgManager::Send(void *request) {
    if (request == nullptr) return SS_INVALID_SRB;
    auto *srb = static_cast<SRB_ExecSCSICmd *>(request);
    // Only the header's status byte is common to every kind of record: a
    // request for another command has nothing else written.
    if (srb->SRB_Cmd != SC_EXEC_SCSI_CMD) {
        SrbStatusStore(srb, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
    const uint8_t status = Execute(srb);
    SrbStatusStore(srb, status);
    return status;
}

uint8_t SgManager::Execute(SRB_ExecSCSICmd *srb) {
    // Fields the manager reports are cleared before anything can fail.
    const size_t senseRoom = std::min<size_t>(srb->SRB_SenseLen, sizeof(srb->SenseArea));
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = 0;
    std::memset(srb->SenseArea, 0, senseRoom);

    const std::vector<Adapter> &adapters = Adapters();
    if (srb->SRB_HaId >= adapters.size()) return SS_INVALID_HA;
    if (srb->SRB_Target >= kTargetsPerAdapter || srb->SRB_Lun != 0) return SS_NO_DEVICE;
    const std::optional<Node> &node = adapters[srb->SRB_HaId].targets[srb->SRB_Target];
    if (!node) return SS_NO_DEVICE;

    const int cdbLength = srb->SRB_CDBLen;
    if (cdbLength < 1 || cdbLength > static_cast<int>(sizeof(srb->CDBByte))) return SS_INVALID_SRB;
    const Direction direction = TransferDirection(srb->SRB_Flags, srb->SRB_BufLen);
    if (direction == Direction::Invalid) return SS_INVALID_SRB;
    if (srb->SRB_BufLen > 0 && srb->SRB_BufPointer == nullptr) return SS_INVALID_SRB;
    if (srb->SRB_BufLen > node->maxTransfer) return SS_BUFFER_TO_BIG;

    uint8_t cdb[sizeof(srb->CDBByte)];
    std::memcpy(cdb, srb->CDBByte, sizeof(cdb));
    uint8_t sense[kSenseBufferSize] = {};

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    switch (direction) {
    case Direction::FromDevice: header.dxfer_direction = SG_DXFER_FROM_DEV; break;
    case Direction::ToDevice: header.dxfer_direction = SG_DXFER_TO_DEV; break;
    default: header.dxfer_direction = SG_DXFER_NONE; break;
    }
    header.cmd_len = static_cast<unsigned char>(cdbLength);
    header.cmdp = cdb;
    header.dxfer_len = direction == Direction::None ? 0 : srb->SRB_BufLen;
    header.dxferp = direction == Direction::None ? nullptr : srb->SRB_BufPointer;
    header.mx_sb_len = sizeof(sense);
    header.sbp = sense;
    header.timeout = TimeoutFor(cdb, cdbLength, node->transport);

    const int result = system_.Ioctl(node->fd, SG_IO, &header);
    const int error = result < 0 ? errno : 0;
    const SrbOutcome outcome = MapSgResult(result, error, header);
    if (result >= 0) {
        srb->SRB_HaStat = outcome.haStat;
        srb->SRB_TargStat = outcome.targStat;
        const size_t written = std::min<size_t>(header.sb_len_wr, sizeof(sense));
        std::memcpy(srb->SenseArea, sense, std::min(senseRoom, written));
    }
    return outcome.status;
}

}  // namespace sgaspi
