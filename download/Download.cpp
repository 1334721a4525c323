// The Download command and its worker.
#include "download/Download.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "download/BlockPlan.h"
#include "download/Progress.h"
#include "drive/Scsi.h"
#include "image/ImageRules.h"
#include "image/Trailer.h"
#include "platform/Files.h"
#include "platform/wnaspi32.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
constexpr UINT kErrorBox = MB_SYSTEMMODAL | MB_ICONERROR;
constexpr UINT kNoticeBox = MB_SYSTEMMODAL;
constexpr char kCaption[] = "MESSAGE";
constexpr char kBusyText[] = " DOWNLOAD BUSY!! \nWait for the result of the download.";
constexpr char kInhibitReason[] = "QUORVEL is writing new firmware into a CD/DVD drive";
constexpr auto kInhibitorAnswerWait = std::chrono::milliseconds(250);

// One flash: what Download checked and prepared, from the first block until
// the result has been reported. Made and ended on the user-interface thread;
// the worker reads image, plan and address, all written before it starts.
struct Flash {
    // The image as it was checked, read once: every block is sent from here,
    // so a file changed or replaced during the flash changes nothing sent.
    std::unique_ptr<uint8_t[]> image;
    BlockPlan plan;
    // Where every block goes, fixed at the start: a later change of the
    // selected drive must not redirect the flash.
    uint8_t adapter = 0;
    uint8_t target = 0;
    Hold driveLock;  // keeps other processes off the drive
    Hold inhibitor;  // no shutdown, sleep or logout while the flash is written
    // The result as it goes to standard error when the program is asked to
    // end during the flash.
    std::string result;
    bool finalReturned = false;  // the final command came back: a restart would have followed
    bool resultShown = false;   // the result box is open
    bool resultClosed = false;  // the user has closed it: the flash is over
};
Flash *Current = nullptr;

// Set when a flash starts, cleared as the very last step of its end: while it
// holds a new Download is refused, so that the worker's closing BusyFlag
// store never clears the flag of a Download started meanwhile.
std::atomic<bool> WorkerRunning{false};
// A request to end the program arrived during the flash.
std::atomic<bool> TerminationHeld{false};

// Why a Download is refused before anything is sent, decided in this order.
enum class FlashCheck {
    Ready,
    NotOpened,          // no image loaded, the file gone, changed since it was loaded, or unreadable
    NotValid,           // the trailer's figures do not fit the file
    TooLargeForMemory,  // no memory for a copy of the image
    DriveBusy,          // another process is writing to this drive
    DriveUnguarded,     // no lock can keep other processes off this drive (the platform says why)
};

// The file must still be the one that was checked when the image was loaded:
// its length (the blocks line up with the trailer) and its trailer, read by
// the same position rule from `bytes`, the image's ImageSize bytes.
bool IsTheLoadedImage(const uint8_t *bytes) {
    const int64_t offset = TrailerOffset(ImageSize, bytes[ImageSize - kTrailerNearBack]);
    return offset >= 0 && std::memcmp(bytes + offset, ImageTrailer, kTrailerSize) == 0;
}

// Reads the loaded image whole into the flash's own memory, after the checks
// that need no copy. On Ready the flash holds the copy, its plan and the
// drive's lock.
FlashCheck PrepareFlash(Flash &flash, PlanVerdict *verdict) {
    if (ImageSize < kTrailerNearBack || TransferBuffer == nullptr || ImagePath[0] == '\0')
        return FlashCheck::NotOpened;
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

    flash.plan = MakeBlockPlan(ImageSize, BlockSizeKb, BlockCount, kTransferBufferSize);
    *verdict = flash.plan.verdict;
    if (flash.plan.verdict != PlanVerdict::Ok) return FlashCheck::NotValid;

    flash.image.reset(new (std::nothrow) uint8_t[static_cast<size_t>(ImageSize)]);
    if (!flash.image) return FlashCheck::TooLargeForMemory;
    if (!ReadRawFileAt(file, 0, flash.image.get(), static_cast<size_t>(ImageSize)) ||
        RawFileSize(file) != ImageSize || !IsTheLoadedImage(flash.image.get()))
        return FlashCheck::NotOpened;

    flash.adapter = SelectedAdapter;
    flash.target = SelectedTarget;
    DriveLockState lock = DriveLockState::Unavailable;
    flash.driveLock = LockDrive(flash.adapter, flash.target, &lock);
    if (lock == DriveLockState::HeldElsewhere) return FlashCheck::DriveBusy;
    if (lock == DriveLockState::Unsafe) return FlashCheck::DriveUnguarded;
    return FlashCheck::Ready;
}

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

// The program was asked to end during the flash, whose result is now known:
// the result goes to standard error, and the program ends without the
// restart, since the session that asked is going away.
void EndForTermination() {
    WriteDiagnostic(Current->result.c_str());
    if (Current->finalReturned)
        WriteDiagnostic("quorvel: asked to end during the download: no restart was requested. Restart the "
                        "computer to finish.");
    WithholdRestart();
    if (MainForm != nullptr) MainForm->StopProgressTimer();
    QuitNow(0);
}

// The end of a flash, however it ended: the commands come back, the drive's
// lock and the copy go. Last of all another Download may start.
void EndFlash() {
    delete Current;
    Current = nullptr;
    if (MainForm != nullptr) MainForm->SetFlashCommandsEnabled(true);
    WorkerRunning.store(false, std::memory_order_release);
}

// A transfer that ends before the final block is in the drive: nothing more
// goes to the drive and no restart follows. The user is told which block
// ended it; "FAIL" stays in the status field.
void EndTransferEarly(const char *format, int blockNumber) {
    RunOnUserInterfaceThread([format, blockNumber] {
        Current->inhibitor.reset();
        SetScreenCursor(crDefault);
        ReleaseCapture();
        MainForm->SetField(Field::Status, "FAIL");
        char text[1025];
        wsprintfA(text, format, blockNumber, BlockCount);
        // For standard error: "DOWNLOAD FAIL" and the reason on one line.
        std::string reason = std::strchr(text, '\n') != nullptr ? std::strchr(text, '\n') + 1 : text;
        for (char &c : reason)
            if (c == '\n') c = ' ';
        Current->result = "quorvel: DOWNLOAD FAIL: " + reason;
        if (TerminationHeld.load()) {
            EndForTermination();
        } else {
            Current->resultShown = true;
            MessageBoxA(BoxOwner(), text, kCaption, kErrorBox);
        }
        EndFlash();
    });
}
}  // namespace

int SendImageBlock(const uint8_t *image, const BlockStep &step, uint8_t adapter, uint8_t target) {
    std::memcpy(TransferBuffer, image + step.offset, static_cast<size_t>(step.length));
    DownloadCommand[5] = step.byte5;
    return ExecuteScsiCommand(adapter, target, DownloadCommand, 12, TransferBuffer, kDownloadTransferLength);
}

bool DownloadWorkerRunning() { return WorkerRunning.load(std::memory_order_acquire); }

bool FlashInProgress() { return DownloadWorkerRunning() && Current != nullptr && !Current->resultClosed; }

void StartDownload() {
    if (DownloadWorkerRunning()) {
        MessageBoxA(BoxOwner(), kBusyText, kCaption, kErrorBox);
        return;
    }

    auto flash = std::make_unique<Flash>();
    PlanVerdict verdict = PlanVerdict::Ok;
    const FlashCheck check = PrepareFlash(*flash, &verdict);
    if (check != FlashCheck::Ready) {
        flash.reset();  // the drive's lock, if taken, goes before the box
        ReportRefusal(check, verdict);
        return;
    }

    // From here the drive is busy: the window says so, takes no clicks, and
    // holds off every command that could change the flash.
    MainForm->SetField(Field::Status, "WAIT..");
    MainForm->SetFlashCommandsEnabled(false);
    SetCapture(BoxOwner());
    SetScreenCursor(crHourGlass);
    flash->inhibitor = HoldOffShutdown(kInhibitReason);
    // Each Download measures its own time: the bar and the count from 0.
    TimerTicks = 0;
    MainForm->SetBarPosition(0);

    Current = flash.release();
    TerminationHeld.store(false);
    WorkerRunning.store(true, std::memory_order_release);
    HANDLE worker = nullptr;
    try {
        worker = CreateThread(nullptr, 0, TransferThread, nullptr, 0, nullptr);
    } catch (const std::system_error &) {
        worker = nullptr;
    }
    if (worker == nullptr) {
        // Run here, on this thread, the hand-over runs at once.
        EndTransferEarly(" DOWNLOAD FAIL!! \nThe transfer could not be started.\nNothing was sent to the drive.", 0);
    }
}

DWORD TransferThread(void *) {
    const Flash &flash = *Current;
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
            EndTransferEarly(" DOWNLOAD FAIL!! \nThe drive refused block %d of %d.", static_cast<int>(i) + 1);
            return 0;
        }
    }
    // The final block: the bar starts to move, and the result decides.
    RunOnUserInterfaceThread([] {
        if (!MainForm->ProgressTimerRunning()) MainForm->StartProgressTimer();
    });
    BusyFlag.store(1, std::memory_order_release);
    const int status = SendImageBlock(flash.image.get(), steps[finalIndex], flash.adapter, flash.target);
    ReportDownloadResult(static_cast<uint8_t>(status));
    RunOnUserInterfaceThread([] { EndFlash(); });
    return 0;
}

void ReportDownloadResult(uint8_t status) {
    // The window belongs to the user-interface thread: cursor, capture, bar,
    // status and message are handled there, and this thread waits until the
    // user has closed the message.
    RunOnUserInterfaceThread([status] {
        // The flash is no longer being written: the restart that follows must
        // not be held off by our own inhibitor.
        if (Current != nullptr) Current->inhibitor.reset();
        SetScreenCursor(crDefault);
        ReleaseCapture();
        const bool accepted = status == SS_COMP;
        if (MainForm != nullptr) {
            if (accepted) MainForm->SetBarPosition(100);
            MainForm->SetField(Field::Status, accepted ? "OK" : "FAIL");
        }
        if (Current != nullptr) {
            char text[160];
            wsprintfA(text, accepted ? "quorvel: DOWNLOAD OK: the drive accepted all %d blocks."
                                     : "quorvel: DOWNLOAD FAIL: the drive refused the final block (%d of %d).",
                      BlockCount, BlockCount);
            Current->result = text;
            Current->finalReturned = true;
            if (TerminationHeld.load()) {
                EndForTermination();
                return;
            }
            Current->resultShown = true;
        }
        if (accepted)
            MessageBoxA(BoxOwner(), "  DOWNLOAD OK!!  \nRestart WINDOWS", kCaption, kNoticeBox);
        else
            MessageBoxA(BoxOwner(), " DOWNLOAD FAIL!! \nRestart WINDOWS", kCaption, kErrorBox);
        if (Current != nullptr) Current->resultClosed = true;
    });
    // Only now may the timer request the restart.
    BusyFlag.store(0, std::memory_order_release);
}

bool HoldTerminationForFlash() {
    // Once the result box is closed the flash is over, though its last step
    // may still be on its way: the request ends the program as Exit does (the
    // restart may already be asked for).
    if (!FlashInProgress()) return false;
    // A second request while one is held changes nothing.
    if (Current->resultShown) {
        EndForTermination();
    } else {
        TerminationHeld.store(true);
    }
    return true;
}
