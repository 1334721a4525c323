#include "drive/Discovery.h"

#include <QByteArray>
#include <QComboBox>
#include <QLabel>
#include <algorithm>
#include <cstring>

#include "app/Main.h"
#include "app/SharedState.h"
#include "drive/Probe.h"
#include "platform/aspi.h"
#include "platform/win32.h"

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
    const uint32_t info = aspi::GetASPI32SupportInfo();
    const int adapterCount = static_cast<int>(info & 0xFF);
    const int supportStatus = static_cast<int>((info >> 8) & 0xFF);
    if (adapterCount == 0 || supportStatus != SS_COMP) {
        MessageBoxA(Form1, "ASPI Not Found!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        PostQuitMessage(0);
        return;
    }

    DriveCount = 0;
    for (const ProbedDrive &drive : ProbeDrives(adapterCount, TransferBuffer)) {
        DriveTable[0][DriveCount] = drive.target;
        DriveTable[1][DriveCount] = drive.adapter;
        Form1->ComboBox1->addItem(QString::fromLatin1(drive.identification.data(),
                                                      static_cast<qsizetype>(drive.identification.size())));
        ++DriveCount;
    }

    ShowDriveListEntry(0);
    if (DriveCount > 0) ReadDriveEntry(0);
    if (DriveCount == 0) {
        MessageBoxA(Form1, "Drive Not Found!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        PostQuitMessage(0);
    }
    SelectedTarget = DriveTable[0][0];
    SelectedAdapter = DriveTable[1][0];
}

void ReadDriveEntry(int k) {
    if (k < 0 || k >= kDriveTableSize) return;
    // The joined text of the list, each entry followed by CR LF, cut to the
    // work area; bytes the list does not fill stay zero.
    char workArea[kWorkAreaSize] = {};
    QByteArray joined;
    for (int i = 0; i < Form1->ComboBox1->count(); ++i) {
        joined += Form1->ComboBox1->itemText(i).toLatin1();
        joined += "\r\n";
    }
    std::memcpy(workArea, joined.constData(),
                static_cast<size_t>(std::min<qsizetype>(joined.size(), kWorkAreaSize - 1)));
    // The zeros after the 24 and 4 characters are never written.
    std::memcpy(DriveModel, workArea + k * kEntryPitch, kModelLength);
    std::memcpy(DriveVersion, workArea + k * kEntryPitch + kModelLength, kVersionLength);
}

void ShowDriveListEntry(int k) {
    // Setting the index from the program raises no user pick (activated), so
    // ComboBox1Change does not run.
    QComboBox *list = Form1->ComboBox1;
    if (k >= 0 && k < list->count()) list->setCurrentIndex(k);
}

void TForm1::ComboBox1Change(QObject *) {
    const int k = ComboBox1->currentIndex();
    if (k < 0 || k >= kDriveTableSize || k >= DriveCount) return;
    if (k == SelectedIndex) return;
    SelectedIndex = static_cast<uint8_t>(k);

    StaticText1->setText(QString());
    StaticText2->setText(QString());
    StaticText3->setText(QString());
    StaticText4->setText(QStringLiteral("NOT OPEN"));
    StaticText5->setText(QString());

    ImageSize = 0;
    ReadDriveEntry(k);
    MessageBoxA(Form1, DriveModel, "CHANGE DRIVE", MB_SYSTEMMODAL);
    // Commands go to the new drive only once the user has seen the notice.
    SelectedTarget = DriveTable[0][k];
    SelectedAdapter = DriveTable[1][k];
}
