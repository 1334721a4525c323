// The window's flash, and the window as its front end; see WindowFlash.h.
#include "app/WindowFlash.h"

#include <memory>
#include <string>
#include <vector>

#include "flash/Flash.h"
#include "flash/FlashPrepare.h"
#include "channel/FlashTexts.h"
#include "app/Progress.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
constexpr UINT kErrorBox = MB_SYSTEMMODAL | MB_ICONERROR;
constexpr UINT kNoticeBox = MB_SYSTEMMODAL;
constexpr char kCaption[] = "MESSAGE";
constexpr char kProgram[] = "quorvel";

// The window's flash, from its start until the next one begins.
std::unique_ptr<Flash> &TheFlash() {
    // Never destroyed: a flash still written at the program's end is its
    // process's to finish.
    static auto *flash = new std::unique_ptr<Flash>;
    return *flash;
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

class WindowFrontEnd : public FlashFrontEnd, public RestartListener {
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

    void TransferOver(const FlashOutcome &outcome) override {
        SetScreenCursor(crDefault);
        ReleaseCapture();
        if (MainForm == nullptr) return;
        const bool accepted = outcome.ending == FlashEnding::Accepted;
        if (accepted) MainForm->SetBarPosition(100);
        MainForm->SetField(Field::Status, accepted ? "OK" : "FAIL");
    }

    // Once the user has closed it, the flash awaits its restart
    // (RestartPending), which the timer's next tick asks for.
    void ShowResult(const FlashOutcome &outcome) override {
        MessageBoxA(BoxOwner(), ResultText(outcome).c_str(), kCaption,
                    outcome.ending == FlashEnding::Accepted ? kNoticeBox : kErrorBox);
    }

    void ShowEndedEarly(const FlashOutcome &outcome) override {
        const std::string text = outcome.ending == FlashEnding::CutOff ? CutOffText(outcome) : EndedEarlyText(outcome);
        MessageBoxA(BoxOwner(), text.c_str(), kCaption, kErrorBox);
    }

    void ShowRestartRefused(const char *reason) override {
        MessageBoxA(BoxOwner(), RestartRefusedText(reason).c_str(), kCaption, kErrorBox);
    }

    void Say(const std::string &line, Said) override { Say(line); }
    void Say(const std::string &line) override { WriteDiagnostic((std::string(kProgram) + ": " + line).c_str()); }

    void EndProgram() override {
        if (MainForm != nullptr) MainForm->StopProgressTimer();
        QuitNow(0);
    }
};

WindowFrontEnd &TheFrontEnd() {
    static WindowFrontEnd frontEnd;
    return frontEnd;
}

// The loaded image checked and sealed, and the flash to SelectedAdapter,
// SelectedTarget prepared: Ready, or why not (the box's text in `refusal`).
FlashCheck PrepareTheFlash(std::string *refusal) {
    // The last flash is over: its process has been let go.
    TheFlash().reset();
    CheckedImage image;
    const BlockPlan plan = PlanOfTheLoadedImage();
    FlashCheck check = CheckTheLoadedImage(plan, &image);
    std::vector<std::string> reasons(1);
    if (check == FlashCheck::Ready) {
        Drive drive;
        drive.address = {SelectedAdapter, SelectedTarget};
        drive.identity = DriveIdentity::FromBytes(std::string(DriveModel, 24) + std::string(DriveVersion, 4));
        std::vector<std::unique_ptr<Flash>> flashes;
        // The window asks for the restart once the drive has accepted.
        check = Flash::Prepare(image, {drive}, kProgram, true, &flashes, &reasons).front();
        TheFlash() = std::move(flashes.front());
    }
    *refusal = FlashRefusalText(check, plan.verdict, ImageSize, reasons.front());
    return check;
}
}  // namespace

void StartDownload() {
    const FlashState state = CurrentFlashState();
    if (!WhatItAllows(state).newFlash) {
        MessageBoxA(BoxOwner(), BusyText(state), kCaption, kErrorBox);
        return;
    }
    std::string refusal;
    if (PrepareTheFlash(&refusal) != FlashCheck::Ready) {
        MessageBoxA(BoxOwner(), refusal.c_str(), kCaption, kErrorBox);
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
    TheFlash()->Start(TheFrontEnd());
}

void ProgressTick() {
    // Progress: moves by elapsed time until the bar is full.
    if (MainForm->BarPosition() < 100) {
        int32_t position = ProgressPosition(TimerTicks, BlockCount);
        // The bar ignores values outside its range; hold them at its ends so
        // that it always shows where the count stands.
        if (position > 100) position = 100;
        if (position < 0) position = 0;
        MainForm->SetBarPosition(position);
        TimerTicks = static_cast<int32_t>(static_cast<uint32_t>(TimerTicks) + 1u);
    }
    // Restart: once the user has closed the result message, the flash
    // awaits it.
    if (CurrentFlashState() == FlashState::RestartPending) {
        MainForm->StopProgressTimer();
        Flash::RequestRestart({TheFlash().get()}, TheFrontEnd());
    }
}

FlashState CurrentFlashState() { return TheFlash() ? TheFlash()->State() : FlashState::Idle; }

FlashAllows FlashAllowsNow() { return WhatItAllows(CurrentFlashState()); }

bool FlashTakesEndRequest() { return TheFlash() && TheFlash()->TakesEndRequest(); }

void FlashEndsWithProgram() {
    if (TheFlash()) TheFlash()->EndsWithProgram();
}

void FinishFlashAtProgramEnd() {
    CollectEndedFlashProcesses();
    if (TheFlash()) TheFlash()->FinishAtProgramEnd();
}
