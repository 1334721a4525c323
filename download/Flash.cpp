// The flash and its worker.
#include "download/Flash.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "download/FlashRecord.h"
#include "drive/Scsi.h"
#include "image/ImageRules.h"
#include "image/Trailer.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "platform/wnaspi32.h"
#include "state/SharedState.h"

namespace {
constexpr char kInhibitReason[] = "QUORVEL is writing new firmware into a CD/DVD drive";
constexpr auto kInhibitorAnswerWait = std::chrono::milliseconds(250);

// One flash. Made and changed on the user-interface thread; the worker reads
// the image, the plan, the address and the front end, all set before it
// starts, and never touches the flash after its last hand-over.
struct Flash {
    FlashState state = FlashState::Idle;
    FlashFrontEnd *frontEnd = nullptr;
    // The image as it was checked, read once: every block is sent from here,
    // so a file changed or replaced during the flash changes nothing sent.
    // Let go once the drive has answered.
    std::unique_ptr<uint8_t[]> image;
    BlockPlan plan;
    // Where every block goes, fixed at the start: a later change of the
    // selected drive must not redirect the flash.
    uint8_t adapter = 0;
    uint8_t target = 0;
    Hold driveLock;  // keeps other processes off the drive
    Hold inhibitor;  // no shutdown, sleep or logout while the flash is written
    HANDLE worker = nullptr;
    // What standard error is told of the drive's answer, once it is known.
    std::string result;
    bool finalReturned = false;  // the final command came back: a restart would follow
    // Why the program ends without the restart, when it does.
    std::string endCause = "asked to end during the download";
    // What the record says of this flash on every line: the drive, the image.
    FlashRecord record;
};

// The one flash there is, from its start until the next one begins. Never
// destroyed at the process's end: a flash cut off by it (the display gone)
// still holds the drive and the inhibitors, which the system lets go with
// the process, while the toolkit and the buses may be gone already.
Flash *TheFlash = nullptr;
std::atomic<bool> WorkerAlive{false};
std::atomic<int> Accepted{0};

void Enter(Flash &flash, FlashEvent event) {
    const FlashState next = NextFlashState(flash.state, event);
    if (next == flash.state) return;
    flash.state = next;
    // The drive is held until the flash is over: a flash of another program
    // started while the restart this one asked for is pending would be cut
    // by it. A flash that ends with the program keeps it to the end.
    if (next == FlashState::Idle) flash.driveLock.reset();
    if (flash.frontEnd != nullptr) flash.frontEnd->FlashStateChanged(next);
}

// The file must still be the one that was checked when the image was loaded:
// its length (the blocks line up with the trailer) and its trailer, read by
// the same position rule from `bytes`, the image's ImageSize bytes.
bool IsTheLoadedImage(const uint8_t *bytes) {
    const int64_t offset = TrailerOffset(ImageSize, bytes[ImageSize - kTrailerNearBack]);
    return offset >= 0 && std::memcmp(bytes + offset, ImageTrailer, kTrailerSize) == 0;
}

// The worker is past its last hand-over (or was never started): join it.
void JoinWorker(Flash &flash) {
    if (flash.worker == nullptr) return;
    WaitForSingleObject(flash.worker, INFINITE);
    CloseHandle(flash.worker);
    flash.worker = nullptr;
}

// The drive has answered the last command it gets from this flash: nothing
// more is written to it, so nothing holds off a restart, and the image's copy
// is no longer needed.
void LetTheDriveGo(Flash &flash) {
    flash.inhibitor.reset();
    flash.image.reset();
}

// One event of the flash for the record. The image's digest is taken once,
// on the worker, when the drive has answered.
void Record(Flash &flash, RecordEvent event, int block = 0, const std::string &detail = "") {
    FlashRecord entry = flash.record;
    entry.event = event;
    entry.time = UtcTimestamp();
    entry.boot = BootId();
    entry.block = block;
    entry.detail = detail;
    AppendFlashRecord(entry, [&flash](const std::string &line) { flash.frontEnd->Say(line); });
}

void TakeDigest(Flash &flash) {
    if (flash.record.sha256.empty() && flash.image)
        flash.record.sha256 = Sha256Hex(flash.image.get(), static_cast<size_t>(flash.record.size));
}

// The drive's identity and the image, as the record names them.
FlashRecord RecordOfThisFlash(const BlockPlan &plan) {
    FlashRecord record;
    record.flash = NewFlashId();
    record.vendor = RecordText(DriveModel, 8);
    record.model = RecordText(DriveModel + 8, 16);
    record.revision = RecordText(DriveVersion, 4);
    record.adapter = SelectedAdapter;
    record.target = SelectedTarget;
    const char *slash = std::strrchr(ImagePath, '/');
    record.file = slash != nullptr ? slash + 1 : ImagePath;
    record.size = ImageSize;
    record.version = RecordText(ImageVersion, 4);
    record.blocks = static_cast<int>(plan.steps.size());
    return record;
}

std::string NoRestartLine(const Flash &flash) {
    return flash.endCause + ": no restart was requested. Restart the computer to finish.";
}

// The transfer ended before the final block was in the drive: nothing more
// goes to the drive and no restart follows.
void EndTransferEarly(Flash &flash, int block) {
    const int count = static_cast<int>(flash.plan.steps.size());
    char text[200];
    if (block == 0)
        wsprintfA(text, "DOWNLOAD FAIL: The transfer could not be started. Nothing was sent to the drive.");
    else
        wsprintfA(text, "DOWNLOAD FAIL: The drive refused block %d of %d.", block, count);
    const std::string result = text;
    if (block > 0) {
        TakeDigest(flash);
        Record(flash, RecordEvent::Refused, block);
    }
    const bool ran = RunOnUserInterfaceThread([&flash, &result, block, count] {
        flash.result = result;
        LetTheDriveGo(flash);
        flash.frontEnd->TransferOver(false);
        Enter(flash, FlashEvent::TransferEnded);
        if (flash.state == FlashState::Ended) {
            flash.frontEnd->Say(result);
            flash.frontEnd->EndProgram();
            return;
        }
        flash.frontEnd->ShowEndedEarly(block, count);
        Enter(flash, FlashEvent::BoxClosed);
    });
    // Without the window the result goes to standard error.
    if (!ran) flash.frontEnd->Say(result);
}

void RestartRefused(const char *reason);
void RestartAccepted();
FlashFrontEnd *RestartFrontEnd = nullptr;

// The exit the toolkit calls when the display goes away runs this first of
// all: the worker must not be cut off, nor outlive what it uses.
void FinishAtExit() { FinishFlashAtProgramEnd(false); }
}  // namespace

FlashCheck PrepareFlash(PlanVerdict *verdict) {
    // The last flash is over; its worker is at most finishing its last step.
    if (TheFlash != nullptr) {
        JoinWorker(*TheFlash);
        delete TheFlash;
        TheFlash = nullptr;
    }
    if (ImageSize < kTrailerNearBack || TransferBuffer == nullptr || ImagePath[0] == '\0')
        return FlashCheck::NotOpened;
    auto flash = std::make_unique<Flash>();
    // Opened anew: a regular file only, so that a FIFO put in its place does
    // not hold up the window.
    RawFile *file = ImageFile = OpenRawFile(ImagePath);
    if (file == nullptr) return FlashCheck::NotOpened;
    const auto closeFile = [](RawFile *f) {
        CloseRawFile(f);
        ImageFile = nullptr;
    };
    std::unique_ptr<RawFile, decltype(closeFile)> closing(file, closeFile);
    if (RawFileSize(file) != ImageSize) return FlashCheck::NotOpened;

    flash->plan = MakeBlockPlan(ImageSize, BlockSizeKb, BlockCount, kTransferBufferSize);
    *verdict = flash->plan.verdict;
    if (flash->plan.verdict != PlanVerdict::Ok) return FlashCheck::NotValid;

    flash->image.reset(new (std::nothrow) uint8_t[static_cast<size_t>(ImageSize)]);
    if (!flash->image) return FlashCheck::TooLargeForMemory;
    if (!ReadRawFileAt(file, 0, flash->image.get(), static_cast<size_t>(ImageSize)) ||
        RawFileSize(file) != ImageSize || !IsTheLoadedImage(flash->image.get()))
        return FlashCheck::NotOpened;

    flash->adapter = SelectedAdapter;
    flash->target = SelectedTarget;
    flash->record = RecordOfThisFlash(flash->plan);
    DriveLockState lock = DriveLockState::Unavailable;
    flash->driveLock = LockDrive(flash->adapter, flash->target, &lock);
    if (lock == DriveLockState::HeldElsewhere) return FlashCheck::DriveBusy;
    if (lock == DriveLockState::Unsafe) return FlashCheck::DriveUnguarded;
    TheFlash = flash.release();
    return FlashCheck::Ready;
}

void StartFlash(FlashFrontEnd &frontEnd) {
    Flash &flash = *TheFlash;
    flash.frontEnd = &frontEnd;
    flash.record.program = frontEnd.Program();
    RestartFrontEnd = &frontEnd;
    static const bool finishedAtExit = std::atexit(FinishAtExit) == 0;
    (void)finishedAtExit;
    flash.inhibitor = HoldOffShutdown(kInhibitReason);
    Accepted.store(0);
    Enter(flash, FlashEvent::Started);
    WorkerAlive.store(true, std::memory_order_release);
    flash.worker = CreateThread(nullptr, 0, TransferThread, nullptr, 0, nullptr);
    if (flash.worker == nullptr) {
        // Run here, on this thread, the hand-over runs at once.
        WorkerAlive.store(false, std::memory_order_release);
        EndTransferEarly(flash, 0);
    }
}

int SendImageBlock(const uint8_t *image, const BlockStep &step, uint8_t adapter, uint8_t target) {
    std::memcpy(TransferBuffer, image + step.offset, static_cast<size_t>(step.length));
    DownloadCommand[5] = step.byte5;
    return ExecuteScsiCommand(adapter, target, DownloadCommand, 12, TransferBuffer, kDownloadTransferLength);
}

DWORD TransferThread(void *) {
    Flash &flash = *TheFlash;  // set before this thread started, kept until it is joined
    // The inhibitors are asked without waiting; logind and the portal answer
    // within milliseconds, and the first block waits that long, so that they
    // are in force before the drive is written. One that does not answer
    // holds the flash up no longer than this.
    for (auto waited = std::chrono::milliseconds(0);
         flash.inhibitor != nullptr && !flash.inhibitor->Answered() && waited < kInhibitorAnswerWait;
         waited += std::chrono::milliseconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::vector<BlockStep> &steps = flash.plan.steps;
    const size_t finalIndex = steps.size() - 1;
    for (size_t i = 0; i < finalIndex; ++i) {
        if (SendImageBlock(flash.image.get(), steps[i], flash.adapter, flash.target) != SS_COMP) {
            EndTransferEarly(flash, static_cast<int>(i) + 1);
            WorkerAlive.store(false, std::memory_order_release);
            return 0;
        }
        Accepted.store(static_cast<int>(i) + 1);
    }
    // The final block: the bar starts to move, and the result decides.
    RunOnUserInterfaceThread([&flash] {
        Enter(flash, FlashEvent::FinalSent);
        flash.frontEnd->FinalBlockGoing();
    });
    const int status = SendImageBlock(flash.image.get(), steps[finalIndex], flash.adapter, flash.target);
    if (status == SS_COMP) Accepted.store(static_cast<int>(steps.size()));
    ReportDownloadResult(static_cast<uint8_t>(status));
    WorkerAlive.store(false, std::memory_order_release);
    return 0;
}

void ReportDownloadResult(uint8_t status) {
    Flash &flash = *TheFlash;
    const bool accepted = status == SS_COMP;
    char text[160];
    wsprintfA(text, accepted ? "DOWNLOAD OK: the drive accepted all %d blocks."
                             : "DOWNLOAD FAIL: the drive refused the final block (%d of %d).",
              BlockCount, BlockCount);
    const std::string result = text;
    TakeDigest(flash);
    if (accepted)
        Record(flash, RecordEvent::Accepted, flash.record.blocks);
    else
        Record(flash, RecordEvent::Refused, flash.record.blocks);
    // The window belongs to the user-interface thread: this thread waits
    // there until the user has closed the result box.
    const bool ran = RunOnUserInterfaceThread([&flash, &result, accepted] {
        flash.result = result;
        flash.finalReturned = true;
        // The flash is no longer being written: the restart that follows
        // must not be held off by our own inhibitor.
        LetTheDriveGo(flash);
        flash.frontEnd->TransferOver(accepted);
        Enter(flash, FlashEvent::ResultReported);
        if (flash.state == FlashState::Ended) {
            // Asked to end while the drive was written: the session that
            // asked is going away, so the result goes to standard error and
            // no restart is asked for.
            flash.frontEnd->Say(result);
            flash.frontEnd->Say(NoRestartLine(flash));
            Record(flash, RecordEvent::RestartNotRequested, 0, flash.endCause);
            flash.frontEnd->EndProgram();
            return;
        }
        flash.frontEnd->ShowResult(accepted);
        Enter(flash, FlashEvent::ResultClosed);
    });
    if (!ran) {
        // The window is gone: the program ends with the flash.
        flash.frontEnd->Say(result);
        flash.frontEnd->Say(NoRestartLine(flash));
        Record(flash, RecordEvent::RestartNotRequested, 0, flash.endCause);
    }
    // Only now may the timer request the restart.
    BusyFlag.store(0, std::memory_order_release);
}

FlashState CurrentFlashState() { return TheFlash != nullptr ? TheFlash->state : FlashState::Idle; }

FlashAllows FlashAllowsNow() { return WhatItAllows(CurrentFlashState()); }

bool DownloadWorkerRunning() { return WorkerAlive.load(std::memory_order_acquire); }

int BlocksAccepted() { return Accepted.load(); }

namespace {
// Where the flash stood when the program ends without waiting for anything
// more: standard error is told what the user no longer sees.
void SayHowTheFlashEnds(Flash &flash, const std::string &why = {}) {
    switch (flash.state) {
    case FlashState::ResultShown:
        flash.frontEnd->Say(flash.result);
        flash.frontEnd->Say(NoRestartLine(flash));
        Record(flash, RecordEvent::RestartNotRequested, 0, flash.endCause);
        break;
    case FlashState::EndedEarly: flash.frontEnd->Say(flash.result); break;
    case FlashState::RestartPending: {
        const std::string cause = why.empty() ? "ended before the restart was requested" : why;
        flash.frontEnd->Say(cause + ": no restart was requested. Restart the computer to finish.");
        Record(flash, RecordEvent::RestartNotRequested, 0, cause);
        break;
    }
    case FlashState::RestartAsked:
        flash.frontEnd->Say("the restart was requested; the program ended before the system answered.");
        break;
    default: break;  // nothing new to tell
    }
}
}  // namespace

bool FlashTakesEndRequest() {
    if (TheFlash == nullptr) return false;
    Flash &flash = *TheFlash;
    switch (WhatItAllows(flash.state).endRequest) {
    case EndRequest::Held: Enter(flash, FlashEvent::EndRequested); return true;
    case EndRequest::AlreadyHeld: return true;
    case EndRequest::EndsNow: break;
    }
    if (flash.state != FlashState::Idle) {
        SayHowTheFlashEnds(flash);
        Enter(flash, FlashEvent::EndRequested);
    }
    return false;
}

void FlashEndsWithProgram(const std::string &why) {
    if (TheFlash == nullptr || TheFlash->state == FlashState::Idle || TheFlash->state == FlashState::Ended) return;
    SayHowTheFlashEnds(*TheFlash, why);
    Enter(*TheFlash, FlashEvent::EndRequested);
}

bool RequestRestartAfterFlash(FlashFrontEnd &frontEnd) {
    if (TheFlash != nullptr) {
        Flash &flash = *TheFlash;
        // Without a flash waiting for it (the program ending, or the restart
        // asked already) nothing is asked.
        if (flash.state != FlashState::RestartPending && flash.state != FlashState::Idle) return false;
        // BusyFlag 0 was the worker's last store.
        JoinWorker(flash);
        if (flash.state == FlashState::RestartPending) Record(flash, RecordEvent::RestartRequested);
        Enter(flash, FlashEvent::RestartRequested);
    }
    RestartFrontEnd = &frontEnd;
    // The answer comes later, perhaps after the system asked the user: a
    // refusal must reach the user, who would otherwise wait for a restart
    // that never comes.
    SetRestartRefusedHandler(RestartRefused);
    SetRestartAcceptedHandler(RestartAccepted);
    ExitWindowsEx(EWX_REBOOT, 0);
    return true;
}

namespace {
void RestartRefused(const char *reason) {
    const std::string why = reason != nullptr && reason[0] != '\0' ? reason : "no reason given.";
    if (RestartFrontEnd != nullptr) RestartFrontEnd->Say("the system refused the restart: " + why);
    if (TheFlash != nullptr && TheFlash->state == FlashState::RestartAsked)
        Record(*TheFlash, RecordEvent::RestartRefused, 0, why);
    // Once the program is ending nobody is left to read a box.
    if (TheFlash != nullptr && TheFlash->state != FlashState::RestartAsked && TheFlash->state != FlashState::Idle)
        return;
    if (TheFlash != nullptr) Enter(*TheFlash, FlashEvent::RestartRefused);
    if (RestartFrontEnd != nullptr) RestartFrontEnd->ShowRestartRefused(reason);
    if (TheFlash != nullptr) Enter(*TheFlash, FlashEvent::BoxClosed);
}

void RestartAccepted() {
    if (RestartFrontEnd != nullptr) RestartFrontEnd->Say("the restart was requested and the system accepted it.");
    if (TheFlash != nullptr && TheFlash->state == FlashState::RestartAsked)
        Record(*TheFlash, RecordEvent::RestartAccepted);
    if (TheFlash != nullptr) Enter(*TheFlash, FlashEvent::RestartAccepted);
}
}  // namespace

void FinishFlashAtProgramEnd(bool letTheDriveGo) {
    EndUserInterfaceHandoffs();
    if (TheFlash == nullptr) return;
    Flash &flash = *TheFlash;
    if (flash.worker == nullptr) {
        if (letTheDriveGo) flash.driveLock.reset();
        return;
    }
    // No window is told of anything from here: there may be none. A worker
    // still running tells standard error what its hand-overs no longer can.
    if (DownloadWorkerRunning() && flash.state != FlashState::Ending && flash.state != FlashState::Ended) {
        flash.endCause = "the window closed during the download";
        if (DriveBeingWritten(flash.state))
            flash.frontEnd->Say("the window is gone: the download goes on until the drive has answered its final block.");
        flash.state = NextFlashState(flash.state, FlashEvent::EndRequested);
    }
    JoinWorker(flash);
    if (letTheDriveGo) flash.driveLock.reset();
}
