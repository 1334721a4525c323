#include "drive/Selection.h"

#include <cstring>

#include "state/SharedState.h"

void UseDrive(const Drive &drive) {
    SelectedAdapter = drive.address.adapter;
    SelectedTarget = drive.address.target;
    // The zeros after the 24 and 4 characters are never written.
    const std::string model = drive.identity.Model();
    std::memcpy(DriveModel, model.data(), model.size());
    std::memcpy(DriveVersion, drive.identity.revision.data(), drive.identity.revision.size());
}
