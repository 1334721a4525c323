// What the window's flows (app/) may do to the main window, and
// nothing more: its five fields, its bar, its timer, its drive list, its
// commands, the file dialog, and the owner of every box. app/ implements it
// (TForm1); the flows never see a widget.
//
// Every call is made on the user-interface thread.
#pragma once

#include <string>

#include "platform/win32.h"

// The read-only fields, top to bottom (StaticText1 to StaticText5).
enum class Field {
    ModelName,     // the model the image is for
    OldVersion,    // the selected drive's firmware
    NewVersion,    // the image's firmware
    DownloadFile,  // the image file's name
    Status,        // "READY", "WAIT..", "OK", "FAIL"
};

class MainWindow {
public:
    virtual ~MainWindow() = default;

    // Shows `text` in a field. Its bytes are characters one for one, except in
    // DownloadFile, where they are a name of the file system (UTF-8).
    virtual void SetField(Field field, const char *text) = 0;

    // The progress bar, 0 to 100.
    virtual int BarPosition() = 0;
    virtual void SetBarPosition(int position) = 0;

    // The progress timer (1000 ms; each tick runs the progress step).
    virtual void StartProgressTimer() = 0;
    virtual void StopProgressTimer() = 0;
    virtual bool ProgressTimerRunning() = 0;

    // The drive list: its entries are identification texts, one byte one
    // character. ShowDriveEntry makes the list show entry k without it
    // counting as the user's pick; k outside the list changes nothing.
    virtual void AddDriveEntry(const std::string &identification) = 0;
    virtual int DriveEntryCount() = 0;
    virtual std::string DriveEntryText(int k) = 0;
    virtual int ShownDriveEntry() = 0;
    virtual void ShowDriveEntry(int k) = 0;

    // The commands that could change what is being flashed or what the
    // window says about it (Open, Download, the drive list): held off and
    // shown disabled while a flash allows no new one.
    virtual void SetFlashCommandsEnabled(bool enabled) = 0;
    // Exit (the close box follows the flash's state by itself).
    virtual void SetExitEnabled(bool enabled) = 0;

    // The file-open dialog: true with the chosen path, false when cancelled.
    virtual bool ChooseImageFile(std::string *path) = 0;

    // The owner of every message box.
    virtual HWND BoxOwner() = 0;
};

// The main window while it exists (set and cleared by the window itself), or
// nullptr.
extern MainWindow *MainForm;

// MainForm's box owner, or none when there is no window.
inline HWND BoxOwner() { return MainForm != nullptr ? MainForm->BoxOwner() : nullptr; }
