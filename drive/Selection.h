// The drive commands go to, as the shared state holds it.
#pragma once

#include "drive/Drive.h"

// Makes a drive found without the window (FindDrives) the one commands go
// to, as the user's pick of its entry does: SelectedAdapter, SelectedTarget,
// and DriveModel, DriveVersion from its identity.
void UseDrive(const Drive &drive);
