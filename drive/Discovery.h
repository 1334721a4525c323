// Drive discovery and selection.
#pragma once

#include <cstdint>
#include <string>

// Probes every adapter and target 0..7 with INQUIRY, lists the CD/DVD drives
// in Form1->ComboBox1, fills DriveTable and DriveCount, selects entry 0.
void DiscoverDrives();
// DriveModel and DriveVersion from entry k of the drive list's joined text.
void ReadDriveEntry(int k);
// Makes the list show position k without the drive-change handling.
void ShowDriveListEntry(int k);
