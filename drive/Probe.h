// The probe rule of drive discovery, free of any window: sends INQUIRY to
// targets 0..7 of every adapter, adapter first, and keeps the CD/DVD devices
// (INQUIRY byte 0 exactly 5) in discovery order, at most kDriveTableSize.
#pragma once

#include <cstdint>
#include <vector>

#include "drive/Drive.h"

// The manager's answer to GetASPI32DeviceTransport; a value it has no name
// for is Unknown.
DriveTransport TransportOfAnswer(uint32_t answer);
// In the words quorvel-flash prints: "usb", "ata", "scsi", "virtual", "unknown".
const char *TransportWord(DriveTransport transport);

// `buffer` receives each INQUIRY answer (at least 37 bytes; byte 36 is zeroed).
// Each drive listed carries its transport, asked of the manager. A drive of
// `known` (one being flashed, which no command may reach until its flash is
// over) is not asked: it is listed in its place as given.
std::vector<Drive> ProbeDrives(int adapterCount, uint8_t *buffer, const std::vector<Drive> &known = {});

// The host adapters that GetASPI32SupportInfo's answer offers: its count,
// or 0 when there is no manager to use (no adapter, or a status other than
// SS_COMP), which discovery reports as "ASPI Not Found!!".
int UsableAdapters(uint32_t supportInfo);

// Discovery without a window: asks the manager for its adapters and probes
// them all but the `known` ones. False when there is no manager to use;
// otherwise `drives` holds the CD/DVD drives in the drive list's order
// (perhaps none).
bool FindDrives(uint8_t *buffer, std::vector<Drive> *drives, const std::vector<Drive> &known = {});
