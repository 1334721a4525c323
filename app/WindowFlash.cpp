// The window's flash, and the window as its front end; see WindowFlash.h.
#include "app/WindowFlash.h"

#include <memory>
#include <string>
#include <vector>

#include "flash/Flash.h"
#include "flash/FlashPrepare.h"
#include "channel/FlashTexts.h"
#include "app/Discovery.h"
#include "app/Progress.h"
#include "image/ImageRules.h"
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

// A flash the window found under way, started by another program (or
// another window): its bar shows its blocks.
bool FlashFoundUnderWay() { return TheFlash() && TheFlash()->FoundUnderWay(); }

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
        // A flash found under way, over for the window: its bar stays.
        if (state == FlashState::Idle && FlashFoundUnderWay()) MainForm->StopProgressTimer();
    }

    void BlockAccepted(int accepted, int blocks) override {
        if (MainForm != nullptr && FlashFoundUnderWay())
            MainForm->SetBarPosition(FollowedProgressPosition(accepted, blocks, false, 0));
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

// From here the drive is busy: the window says so and takes no clicks; the
// flash's state holds off every command that could change it.
void ShowTheFlash(int barPosition) {
    MainForm->SetField(Field::Status, "WAIT..");
    SetCapture(BoxOwner());
    SetScreenCursor(crHourGlass);
    // Each flash measures its own time: the count from 0.
    TimerTicks = 0;
    MainForm->SetBarPosition(barPosition);
    TheFlash()->Start(TheFrontEnd());
}

// The flash under way at entry k of the drive list, followed as if the
// window had started it: that drive selected, the five fields from its
// record, the bar at its blocks. False when none of this user's is under way
// there (the drive free again, or another user's).
bool FollowTheFlash(int k) {
    if (k < 0 || k >= DriveCount || k >= kDriveTableSize) return false;
    std::string problem;
    std::unique_ptr<Flash> flash = Flash::Follow({DriveTable[1][k], DriveTable[0][k]}, kProgram, &problem);
    if (!flash) return false;
    TheFlash() = std::move(flash);
    SelectDriveEntry(k);
    // The fields show this flash's image: none of the window's own is loaded
    // any more, and none is offered at start.
    ImageSize = 0;
    AutorunFlag = 0;
    const FlashRecord &record = TheFlash()->Found().record;
    const DriveIdentity drive = DriveOfFlash(TheFlash()->Found()).identity;
    MainForm->SetField(Field::ModelName, drive.Model().c_str());
    MainForm->SetField(Field::OldVersion, drive.revision.c_str());
    MainForm->SetField(Field::NewVersion, record.version.c_str());
    MainForm->SetField(Field::DownloadFile, DisplayName(record.file).c_str());
    const FlashSnapshot &now = TheFlash()->Found().snapshot;
    ShowTheFlash(FollowedProgressPosition(now.accepted, now.count, now.finalOut, 0));
    return true;
}
}  // namespace

void FollowFlashUnderWay() {
    std::string unused;
    const std::vector<FlashUnderWay> flashes = FlashesUnderWay(&unused);
    // In the list's order; first a flash whose starter is gone: its end is
    // nobody's until a front end adopts it.
    for (const bool starterGone : {true, false})
        for (int k = 0; k < DriveCount && k < kDriveTableSize; ++k)
            for (const FlashUnderWay &flash : flashes)
                if (flash.drive == DriveAddress{DriveTable[1][k], DriveTable[0][k]} &&
                    (!starterGone || !flash.snapshot.starterPresent) && FollowTheFlash(k))
                    return;
}

void StartDownload() {
    const FlashState state = CurrentFlashState();
    if (!WhatItAllows(state).newFlash) {
        MessageBoxA(BoxOwner(), BusyText(state), kCaption, kErrorBox);
        return;
    }
    std::string refusal;
    const FlashCheck check = PrepareTheFlash(&refusal);
    // Busy with a flash of this user's: the window follows that one.
    if (check == FlashCheck::DriveBusy && FollowTheFlash(SelectedIndex)) return;
    if (check != FlashCheck::Ready) {
        MessageBoxA(BoxOwner(), refusal.c_str(), kCaption, kErrorBox);
        return;
    }
    ShowTheFlash(0);
}

void ProgressTick() {
    // Progress: moves by elapsed time until the bar is full.
    if (MainForm->BarPosition() < 100) {
        int32_t position = ProgressPosition(TimerTicks, BlockCount);
        if (FlashFoundUnderWay()) {
            const FlashFollower &flash = TheFlash()->Followed();
            position = FollowedProgressPosition(flash.BlocksAccepted(), flash.Blocks(), flash.FinalOut(), TimerTicks);
        }
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
