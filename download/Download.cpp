// The Download command, and the window as the flash's front end.
#include "download/Download.h"

#include <string>

#include "download/Flash.h"
#include "platform/win32.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
constexpr UINT kErrorBox = MB_SYSTEMMODAL | MB_ICONERROR;
constexpr UINT kNoticeBox = MB_SYSTEMMODAL;
constexpr char kCaption[] = "MESSAGE";

const char *PlanProblem(PlanVerdict verdict) {
    switch (verdict) {
    case PlanVerdict::NoBlocks: return "The file names no blocks to send.";
    case PlanVerdict::EmptyBlocks: return "The file names blocks of 0 KB.";
    case PlanVerdict::FileTooShort: return "The file is shorter than its blocks.";
    case PlanVerdict::BlockTooLong: return "Its final block is larger than 512 KB.";
    case PlanVerdict::Ok: break;
    }
    return "";
}

void ReportRefusal(FlashCheck check, PlanVerdict verdict) {
    switch (check) {
    case FlashCheck::NotOpened:
        MessageBoxA(BoxOwner(), "Flash File Not Opened!!", kCaption, kErrorBox);
        break;
    case FlashCheck::NotValid: {
        const std::string text =
            std::string("Flash File Not Valid!!\n") + PlanProblem(verdict) + "\nNothing was sent to the drive.";
        MessageBoxA(BoxOwner(), text.c_str(), kCaption, kErrorBox);
        break;
    }
    case FlashCheck::TooLargeForMemory: {
        char text[256];
        wsprintfA(text, "Flash File Too Large!!\nThere is no memory for its %d bytes.\nNothing was sent to the drive.",
                  ImageSize);
        MessageBoxA(BoxOwner(), text, kCaption, kErrorBox);
        break;
    }
    case FlashCheck::DriveBusy:
        MessageBoxA(BoxOwner(),
                    " DOWNLOAD BUSY!! \nAnother program is writing to this drive.\nNothing was sent to it.",
                    kCaption, kErrorBox);
        break;
    case FlashCheck::DriveUnguarded: {
        const std::string text =
            " DOWNLOAD NOT GUARDED!! \n" + DriveLockProblem() + "\nNothing was sent to the drive.";
        MessageBoxA(BoxOwner(), text.c_str(), kCaption, kErrorBox);
        break;
    }
    case FlashCheck::Ready:
        break;
    }
}

// Download while the last flash has not ended: what the user waits for.
const char *BusyText(FlashState state) {
    switch (state) {
    case FlashState::RestartPending:
    case FlashState::RestartAsked:
    case FlashState::Restarting:
        return " DOWNLOAD BUSY!! \nWait for the system to answer the restart.";
    default: return " DOWNLOAD BUSY!! \nWait for the result of the download.";
    }
}

class WindowFrontEnd : public FlashFrontEnd {
public:
    void FlashStateChanged(FlashState state) override {
        if (MainForm == nullptr) return;
        const FlashAllows allows = WhatItAllows(state);
        MainForm->SetFlashCommandsEnabled(allows.newFlash);
        MainForm->SetExitEnabled(allows.programEnd);
    }

    void FinalBlockGoing() override {
        if (MainForm != nullptr && !MainForm->ProgressTimerRunning()) MainForm->StartProgressTimer();
    }

    void TransferOver(bool accepted) override {
        SetScreenCursor(crDefault);
        ReleaseCapture();
        if (MainForm == nullptr) return;
        if (accepted) MainForm->SetBarPosition(100);
        MainForm->SetField(Field::Status, accepted ? "OK" : "FAIL");
    }

    void ShowResult(bool accepted) override {
        if (accepted)
            MessageBoxA(BoxOwner(), "  DOWNLOAD OK!!  \nRestart WINDOWS", kCaption, kNoticeBox);
        else
            MessageBoxA(BoxOwner(), " DOWNLOAD FAIL!! \nRestart WINDOWS", kCaption, kErrorBox);
    }

    void ShowEndedEarly(int block, int count) override {
        char text[256];
        if (block == 0)
            wsprintfA(text, " DOWNLOAD FAIL!! \nThe transfer could not be started.\nNothing was sent to the drive.");
        else
            wsprintfA(text, " DOWNLOAD FAIL!! \nThe drive refused block %d of %d.", block, count);
        MessageBoxA(BoxOwner(), text, kCaption, kErrorBox);
    }

    void ShowRestartRefused(const char *reason) override {
        char text[1025];
        wsprintfA(text,
                  "RESTART FAILED!!\nThe system did not restart: %s\nRestart the computer to finish the firmware update.",
                  reason != nullptr && reason[0] != '\0' ? reason : "no reason given.");
        MessageBoxA(BoxOwner(), text, kCaption, kErrorBox);
    }

    void Say(const std::string &line) override { WriteDiagnostic(("quorvel: " + line).c_str()); }

    const char *Program() const override { return "quorvel"; }

    void EndProgram() override {
        if (MainForm != nullptr) MainForm->StopProgressTimer();
        QuitNow(0);
    }
};
}  // namespace

FlashFrontEnd &WindowFlashFrontEnd() {
    static WindowFrontEnd frontEnd;
    return frontEnd;
}

void StartDownload() {
    const FlashState state = CurrentFlashState();
    if (!WhatItAllows(state).newFlash) {
        MessageBoxA(BoxOwner(), BusyText(state), kCaption, kErrorBox);
        return;
    }
    PlanVerdict verdict = PlanVerdict::Ok;
    const FlashCheck check = PrepareFlash(&verdict);
    if (check != FlashCheck::Ready) {
        ReportRefusal(check, verdict);
        return;
    }

    // From here the drive is busy: the window says so and takes no clicks;
    // the flash's state holds off every command that could change it.
    MainForm->SetField(Field::Status, "WAIT..");
    SetCapture(BoxOwner());
    SetScreenCursor(crHourGlass);
    // Each Download measures its own time: the bar and the count from 0.
    TimerTicks = 0;
    MainForm->SetBarPosition(0);
    BusyFlag.store(1, std::memory_order_release);
    StartFlash(WindowFlashFrontEnd());
}
