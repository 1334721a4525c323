// TForm1 as the flows see it: the window interface of state/MainWindow.h,
// on the window's own controls.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <initializer_list>

#include "app/Main.h"
#include "platform/win32.h"

namespace {
QLabel *FieldLabel(TForm1 *form, Field field) {
    switch (field) {
    case Field::ModelName: return form->StaticText1;
    case Field::OldVersion: return form->StaticText2;
    case Field::NewVersion: return form->StaticText3;
    case Field::DownloadFile: return form->StaticText4;
    case Field::Status: return form->StaticText5;
    }
    return nullptr;
}
}  // namespace

void TForm1::SetField(Field field, const char *text) {
    // Model and versions are the drive's and the image's bytes, one byte one
    // character; the file name is a name of this file system.
    const QString shown = field == Field::DownloadFile ? QString::fromUtf8(text) : QString::fromLatin1(text);
    if (QLabel *label = FieldLabel(this, field)) label->setText(shown);
}

int TForm1::BarPosition() { return ProgressBar1->value(); }

void TForm1::SetBarPosition(int position) { ProgressBar1->setValue(position); }

void TForm1::StartProgressTimer() { Timer1->start(); }

void TForm1::StopProgressTimer() { Timer1->stop(); }

bool TForm1::ProgressTimerRunning() { return Timer1->isActive(); }

void TForm1::AddDriveEntry(const std::string &identification) {
    ComboBox1->addItem(QString::fromLatin1(identification.data(), static_cast<qsizetype>(identification.size())));
}

int TForm1::DriveEntryCount() { return ComboBox1->count(); }

std::string TForm1::DriveEntryText(int k) { return ComboBox1->itemText(k).toLatin1().toStdString(); }

int TForm1::ShownDriveEntry() { return ComboBox1->currentIndex(); }

void TForm1::ShowDriveEntry(int k) {
    // Setting the index raises no user pick (activated): ComboBox1Change does
    // not run.
    if (k >= 0 && k < ComboBox1->count()) ComboBox1->setCurrentIndex(k);
}

void TForm1::SetFlashCommandsEnabled(bool enabled) {
    for (QAction *command : {Open1, Download1}) command->setEnabled(enabled);
    for (QWidget *control : std::initializer_list<QWidget *>{ToolButton1, ToolButton2, ComboBox1})
        control->setEnabled(enabled);
}

void TForm1::SetExitEnabled(bool enabled) { Exit1->setEnabled(enabled); }

bool TForm1::ChooseImageFile(std::string *path) {
    return CurrentWin32Layer().ExecuteOpenDialog(OpenDialog(), path);
}

HWND TForm1::BoxOwner() { return this; }
