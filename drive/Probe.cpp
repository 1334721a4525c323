#include "drive/Probe.h"

#include <algorithm>
#include <cstring>

#include "state/SharedState.h"
#include "drive/Scsi.h"
#include "platform/aspi.h"
#include "platform/wnaspi32.h"

namespace {
constexpr int kTargetsPerAdapter = 8;
constexpr int kInquiryLength = 36;
constexpr uint8_t kCdDvdDevice = 0x05;  // peripheral qualifier 0, device type 5
}  // namespace

DriveTransport TransportOfAnswer(uint32_t answer) {
    switch (answer) {
    case TRANSPORT_USB: return DriveTransport::Usb;
    case TRANSPORT_ATA: return DriveTransport::Ata;
    case TRANSPORT_SCSI: return DriveTransport::Scsi;
    case TRANSPORT_VIRTUAL: return DriveTransport::Virtual;
    default: return DriveTransport::Unknown;
    }
}

const char *TransportWord(DriveTransport transport) {
    switch (transport) {
    case DriveTransport::Usb: return "usb";
    case DriveTransport::Ata: return "ata";
    case DriveTransport::Scsi: return "scsi";
    case DriveTransport::Virtual: return "virtual";
    case DriveTransport::Unknown: break;
    }
    return "unknown";
}

std::vector<Drive> ProbeDrives(int adapterCount, uint8_t *buffer, const std::vector<Drive> &known) {
    std::vector<Drive> drives;
    if (buffer == nullptr) return drives;
    for (int adapter = 0; adapter < adapterCount && adapter <= 0xFF; ++adapter) {
        for (int target = 0; target < kTargetsPerAdapter; ++target) {
            const DriveAddress address{static_cast<uint8_t>(adapter), static_cast<uint8_t>(target)};
            const auto given = std::find_if(known.begin(), known.end(),
                                            [&address](const Drive &drive) { return drive.address == address; });
            if (given != known.end()) {
                if (drives.size() >= static_cast<size_t>(kDriveTableSize)) continue;
                drives.push_back(*given);
                drives.back().transport = TransportOfAnswer(aspi::GetASPI32DeviceTransport(address.adapter, address.target));
                continue;
            }
            // A device that reports success without sending its answer must not
            // be taken for the drive probed before it: the answer area starts
            // clear for every probe.
            std::memset(buffer, 0, kInquiryLength + 1);
            const int status = ExecuteScsiCommand(static_cast<uint8_t>(adapter), static_cast<uint8_t>(target),
                                                  InquiryCommand, sizeof(InquiryCommand), buffer, kInquiryLength);
            if (status != SS_COMP || buffer[0] != kCdDvdDevice) continue;
            // The table has room for kDriveTableSize drives; further ones are
            // still probed (every pair exactly once) but not listed.
            if (drives.size() >= static_cast<size_t>(kDriveTableSize)) continue;
            buffer[kInquiryLength] = 0;
            Drive drive;
            drive.address = {static_cast<uint8_t>(adapter), static_cast<uint8_t>(target)};
            // Vendor, product and revision (bytes 8..35), read once.
            drive.identity = DriveIdentity::FromBytes(
                std::string_view(reinterpret_cast<const char *>(buffer + 8), DriveIdentity::kLength));
            drive.transport = TransportOfAnswer(aspi::GetASPI32DeviceTransport(drive.address.adapter, drive.address.target));
            drives.push_back(std::move(drive));
        }
    }
    return drives;
}

int UsableAdapters(uint32_t supportInfo) {
    const int adapterCount = static_cast<int>(supportInfo & 0xFF);
    const int supportStatus = static_cast<int>((supportInfo >> 8) & 0xFF);
    return supportStatus == SS_COMP ? adapterCount : 0;
}

bool FindDrives(uint8_t *buffer, std::vector<Drive> *drives, const std::vector<Drive> &known) {
    const int adapterCount = UsableAdapters(aspi::GetASPI32SupportInfo());
    if (adapterCount == 0) return false;
    *drives = ProbeDrives(adapterCount, buffer, known);
    return true;
}
