#include "app/Discovery.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "drive/Probe.h"
#include "flash/FlashUnderWay.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
// Every list entry takes 30 characters of the joined text: its 28-character
// identification (model 24, revision 4) and CR LF.
constexpr int kEntryPitch = 30;
constexpr int kModelLength = 24;
constexpr int kVersionLength = 4;
// The work area holds the joined text of a full drive table and its zero, so
// nothing is read or written past it whatever the list holds.
constexpr int kWorkAreaSize = kDriveTableSize * kEntryPitch + 1;
}  // namespace

void DiscoverDrives() {
    std::vector<Drive> beingWritten;
    std::string unused;
    for (const FlashUnderWay &flash : FlashesUnderWay(&unused)) beingWritten.push_back(DriveOfFlash(flash));
    std::vector<Drive> drives;
    if (!FindDrives(TransferBuffer, &drives, beingWritten)) {
        MessageBoxA(BoxOwner(), "ASPI Not Found!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        PostQuitMessage(0);
        return;
    }

    DriveCount = 0;
    for (const Drive &drive : drives) {
        DriveTable[0][DriveCount] = drive.address.target;
        DriveTable[1][DriveCount] = drive.address.adapter;
        MainForm->AddDriveEntry(drive.identity.Entry());
        ++DriveCount;
    }

    ShowDriveListEntry(0);
    if (DriveCount > 0) ReadDriveEntry(0);
    if (DriveCount == 0) {
        MessageBoxA(BoxOwner(), "Drive Not Found!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        PostQuitMessage(0);
    }
    SelectedTarget = DriveTable[0][0];
    SelectedAdapter = DriveTable[1][0];
}

bool SelectDriveEntry(int k) {
    if (k < 0 || k >= kDriveTableSize || k >= DriveCount) return false;
    ShowDriveListEntry(k);
    SelectedIndex = static_cast<uint8_t>(k);
    SelectedTarget = DriveTable[0][k];
    SelectedAdapter = DriveTable[1][k];
    ReadDriveEntry(k);
    return true;
}

void ReadDriveEntry(int k) {
    if (k < 0 || k >= kDriveTableSize || MainForm == nullptr) return;
    // The joined text of the list, each entry followed by CR LF, cut to the
    // work area; bytes the list does not fill stay zero.
    char workArea[kWorkAreaSize] = {};
    std::string joined;
    for (int i = 0; i < MainForm->DriveEntryCount(); ++i) joined += MainForm->DriveEntryText(i) + "\r\n";
    std::memcpy(workArea, joined.data(), std::min<size_t>(joined.size(), kWorkAreaSize - 1));
    // The zeros after the 24 and 4 characters are never written.
    std::memcpy(DriveModel, workArea + k * kEntryPitch, kModelLength);
    std::memcpy(DriveVersion, workArea + k * kEntryPitch + kModelLength, kVersionLength);
}

void ShowDriveListEntry(int k) {
    // The program setting the index is no pick of the user's: ChangeDrive
    // does not run.
    if (MainForm != nullptr) MainForm->ShowDriveEntry(k);
}

void ChangeDrive(int k) {
    if (k < 0 || k >= kDriveTableSize || k >= DriveCount) return;
    if (k == SelectedIndex) return;
    SelectedIndex = static_cast<uint8_t>(k);

    MainForm->SetField(Field::ModelName, "");
    MainForm->SetField(Field::OldVersion, "");
    MainForm->SetField(Field::NewVersion, "");
    MainForm->SetField(Field::DownloadFile, "NOT OPEN");
    MainForm->SetField(Field::Status, "");

    ImageSize = 0;
    ReadDriveEntry(k);
    MessageBoxA(BoxOwner(), DriveModel, "CHANGE DRIVE", MB_SYSTEMMODAL);
    // Commands go to the new drive only once the user has seen the notice.
    SelectedTarget = DriveTable[0][k];
    SelectedAdapter = DriveTable[1][k];
}
