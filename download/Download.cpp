// The Download command, and the window as the flash's front end.
#include "download/Download.h"

#include <string>

#include "download/Flash.h"
#include "download/FlashTexts.h"
#include "platform/win32.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
constexpr UINT kErrorBox = MB_SYSTEMMODAL | MB_ICONERROR;
constexpr UINT kNoticeBox = MB_SYSTEMMODAL;
constexpr char kCaption[] = "MESSAGE";

void ReportRefusal(FlashCheck check, PlanVerdict verdict) {
    MessageBoxA(BoxOwner(), FlashRefusalText(check, verdict, ImageSize).c_str(), kCaption, kErrorBox);
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
        MessageBoxA(BoxOwner(), EndedEarlyText(block, count).c_str(), kCaption, kErrorBox);
    }

    void ShowProcessLost(int block, int count) override {
        MessageBoxA(BoxOwner(), ProcessLostText(block, count).c_str(), kCaption, kErrorBox);
    }

    void ShowRestartRefused(const char *reason) override {
        MessageBoxA(BoxOwner(), RestartRefusedText(reason).c_str(), kCaption, kErrorBox);
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
    const FlashCheck check = PrepareFlash(WindowFlashFrontEnd().Program(), &verdict);
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
