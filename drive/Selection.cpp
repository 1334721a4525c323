#include "drive/Selection.h"

#include <cstring>

#include "state/SharedState.h"

void UseProbedDrive(const ProbedDrive &drive) {
    SelectedAdapter = drive.adapter;
    SelectedTarget = drive.target;
    // The zeros after the 24 and 4 characters are never written.
    std::memcpy(DriveModel, drive.identification.data(), 24);
    std::memcpy(DriveVersion, drive.identification.data() + 24, 4);
}
