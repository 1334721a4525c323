// The Download command and its worker.
#include "download/Download.h"

#include <atomic>
#include <cstring>
#include <string>
#include <system_error>

#include "download/BlockPlan.h"
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
constexpr char kInhibitReason[] = "QUORVEL is writing new firmware into a CD/DVD drive";

// Set by Download just before it starts the worker, cleared by the worker as
// its very last step, after BusyFlag. A new Download is held off meanwhile:
// until the final command has returned it still uses TransferBuffer and
// DownloadCommand, and until the result has been reported its BusyFlag store
// would otherwise clear the flag that the new Download has set.
std::atomic<bool> WorkerRunning{false};
// The drive the final block goes to, fixed when Download hands the block to
// the worker: a later change of the selected drive must not redirect it.
uint8_t FinalAdapter = 0;
uint8_t FinalTarget = 0;
// The logind inhibitor held while the drive's flash is being written: taken
// before the first block, released when the transfer ends (by the worker after
// the final command, by Download when it ends early). -1: none held.
int ShutdownInhibitor = -1;

void ReleaseInhibitor() {
    const int held = ShutdownInhibitor;
    ShutdownInhibitor = -1;
    if (held >= 0) CurrentWin32Layer().ReleaseShutdownInhibitor(held);
}

void CloseImageFile() {
    CloseRawFile(ImageFile);
    ImageFile = nullptr;
}

// The file must still be the one that was checked when the image was loaded:
// its length (the blocks line up with the trailer) and its trailer, read again
// by the same position rule (another image of the same length, or another file
// found under the name, must not reach the drive).
bool StillTheLoadedImage(RawFile *file) {
    if (RawFileSize(file) != ImageSize) return false;
    uint8_t first = 0;
    if (!ReadRawFileAt(file, ImageSize - kTrailerNearBack, &first, 1)) return false;
    const int64_t offset = TrailerOffset(ImageSize, first);
    if (offset < 0) return false;
    uint8_t trailer[kTrailerSize];
    if (!ReadRawFileAt(file, offset, trailer, sizeof trailer)) return false;
    return std::memcmp(trailer, ImageTrailer, sizeof trailer) == 0;
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

// A transfer that ends before the final block is in the drive: nothing more
// goes to the drive and no restart follows. The user is told which block
// ended it; "FAIL" stays in the status field.
void EndTransferEarly(const char *format, int blockNumber) {
    ReleaseInhibitor();
    SetScreenCursor(crDefault);
    ReleaseCapture();
    CloseImageFile();
    MainForm->SetField(Field::Status, "FAIL");
    char text[1025];
    wsprintfA(text, format, blockNumber, BlockCount);
    MessageBoxA(BoxOwner(), text, kCaption, kErrorBox);
}

}  // namespace

bool ReadImageBlock(int32_t offset, int32_t length) {
    if (offset < 0 || length < 0 || length > kTransferBufferSize) return false;
    return ReadRawFileAt(ImageFile, offset, TransferBuffer, static_cast<size_t>(length));
}

int SendDownloadCommand() {
    return ExecuteScsiCommand(SelectedAdapter, SelectedTarget, DownloadCommand, 12, TransferBuffer,
                              kDownloadTransferLength);
}

bool DownloadWorkerRunning() { return WorkerRunning.load(std::memory_order_acquire); }

void StartDownload() {
    if (DownloadWorkerRunning()) {
        MessageBoxA(BoxOwner(), " DOWNLOAD BUSY!! \nWait for the result of the download.", kCaption, kErrorBox);
        return;
    }

    // The image, opened anew, and still as it was measured when it was loaded.
    ImageFile = ImagePath[0] != '\0' ? OpenRawFile(ImagePath) : nullptr;
    if (ImageFile == nullptr || ImageSize == 0 || !StillTheLoadedImage(ImageFile) || TransferBuffer == nullptr) {
        CloseImageFile();
        MessageBoxA(BoxOwner(), "Flash File Not Opened!!", kCaption, kErrorBox);
        return;
    }
    const BlockPlan plan = MakeBlockPlan(ImageSize, BlockSizeKb, BlockCount, kTransferBufferSize);
    if (plan.verdict != PlanVerdict::Ok) {
        CloseImageFile();
        const std::string text =
            std::string("Flash File Not Valid!!\n") + PlanProblem(plan.verdict) + "\nNothing was sent to the drive.";
        MessageBoxA(BoxOwner(), text.c_str(), kCaption, kErrorBox);
        return;
    }

    // From here the drive is busy: the window says so and takes no clicks.
    MainForm->SetField(Field::Status, "WAIT..");
    SetCapture(BoxOwner());
    SetScreenCursor(crHourGlass);
    ShutdownInhibitor = CurrentWin32Layer().TakeShutdownInhibitor(kInhibitReason);

    // Every block but the last, one after another.
    const int finalIndex = static_cast<int>(plan.steps.size()) - 1;
    for (int i = 0; i < finalIndex; ++i) {
        const BlockStep &step = plan.steps[static_cast<size_t>(i)];
        if (!ReadImageBlock(step.offset, step.length)) {
            EndTransferEarly(" DOWNLOAD FAIL!! \nBlock %d of %d could not be read from the file.", i + 1);
            return;
        }
        DownloadCommand[5] = step.byte5;
        if (SendDownloadCommand() != SS_COMP) {
            EndTransferEarly(" DOWNLOAD FAIL!! \nThe drive refused block %d of %d.", i + 1);
            return;
        }
    }

    // The final block goes to the worker, and the bar starts to move.
    const bool timerWasRunning = MainForm->ProgressTimerRunning();
    if (!timerWasRunning) MainForm->StartProgressTimer();
    const BlockStep &last = plan.steps.back();
    if (!ReadImageBlock(last.offset, last.length)) {
        if (!timerWasRunning) MainForm->StopProgressTimer();
        EndTransferEarly(" DOWNLOAD FAIL!! \nBlock %d of %d could not be read from the file.", finalIndex + 1);
        return;
    }
    DownloadCommand[5] = last.byte5;
    const int32_t busyBefore = BusyFlag.load(std::memory_order_relaxed);
    BusyFlag.store(1, std::memory_order_release);
    FinalAdapter = SelectedAdapter;
    FinalTarget = SelectedTarget;
    WorkerRunning.store(true, std::memory_order_release);
    HANDLE worker = nullptr;
    try {
        worker = CreateThread(nullptr, 0, FinalBlockThread, nullptr, 0, nullptr);
    } catch (const std::system_error &) {
        worker = nullptr;
    }
    if (worker == nullptr) {
        WorkerRunning.store(false, std::memory_order_release);
        BusyFlag.store(busyBefore, std::memory_order_release);
        if (!timerWasRunning) MainForm->StopProgressTimer();
        EndTransferEarly(" DOWNLOAD FAIL!! \nBlock %d of %d could not be started.", finalIndex + 1);
        return;
    }

    // The worker does not use the file.
    CloseImageFile();
}

DWORD FinalBlockThread(void *) {
    const int status = ExecuteScsiCommand(FinalAdapter, FinalTarget, DownloadCommand, 12, TransferBuffer,
                                          kDownloadTransferLength);
    // The flash is no longer being written: the restart that follows must not
    // be held off by our own inhibitor.
    ReleaseInhibitor();
    ReportDownloadResult(static_cast<uint8_t>(status));
    WorkerRunning.store(false, std::memory_order_release);
    return 0;
}

void ReportDownloadResult(uint8_t status) {
    // The window belongs to the user-interface thread: cursor, capture, bar,
    // status and message are handled there, and this thread waits until the
    // user has closed the message.
    RunOnUserInterfaceThread([status] {
        SetScreenCursor(crDefault);
        ReleaseCapture();
        if (status == SS_COMP) {
            if (MainForm != nullptr) {
                MainForm->SetBarPosition(100);
                MainForm->SetField(Field::Status, "OK");
            }
            MessageBoxA(BoxOwner(), "  DOWNLOAD OK!!  \nRestart WINDOWS", kCaption, kNoticeBox);
        } else {
            if (MainForm != nullptr) MainForm->SetField(Field::Status, "FAIL");
            MessageBoxA(BoxOwner(), " DOWNLOAD FAIL!! \nRestart WINDOWS", kCaption, kErrorBox);
        }
    });
    // Only now may the timer request the restart.
    BusyFlag.store(0, std::memory_order_release);
}
