// Drive discovery and selection.
#pragma once

#include "drive/Probe.h"

// Probes every adapter and target 0..7 with INQUIRY, lists the CD/DVD drives
// in the main window's drive list, fills DriveTable and DriveCount, selects
// entry 0; "ASPI Not Found!!" or "Drive Not Found!!" and a quit request when
// there is no manager or no drive. A drive that a flash of this user's writes
// is asked nothing: it is listed as its flash's record names it.
void DiscoverDrives();
// Makes entry k of the drive list the drive commands go to, as the autorun
// match does: silently, no image forgotten. False for no such entry.
bool SelectDriveEntry(int k);
// DriveModel and DriveVersion from entry k of the drive list's joined text:
// the one place a drive entry is read.
void ReadDriveEntry(int k);
// Makes the list show position k without the drive-change handling.
void ShowDriveListEntry(int k);
// The user picked entry k of the drive list: when it is another drive, the
// image is forgotten, the fields cleared, the new drive's model shown in a
// "CHANGE DRIVE" box, and then it becomes the drive commands go to.
void ChangeDrive(int k);
