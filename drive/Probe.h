// The probe rule of drive discovery, free of any window: sends INQUIRY to
// targets 0..7 of every adapter, adapter first, and keeps the CD/DVD devices
// (INQUIRY byte 0 exactly 5) in discovery order, at most kDriveTableSize.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProbedDrive {
    uint8_t adapter = 0;
    uint8_t target = 0;
    std::string identification;  // one list entry: 28 characters
};

// `buffer` receives each INQUIRY answer (at least 37 bytes; byte 36 is zeroed).
std::vector<ProbedDrive> ProbeDrives(int adapterCount, uint8_t *buffer);
