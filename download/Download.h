// The download. StartDownload checks the loaded image once more, reads it
// into memory of its own and hands it to a worker, TransferThread, which sends
// every block from that copy and then reports the result. From the first
// block until the result has been reported a flash runs: the commands that
// could change what is flashed are held off, and a request to end the program
// waits for the drive.
#pragma once

#include <cstdint>

#include "download/BlockPlan.h"
#include "platform/win32.h"

// Download (Down, the menu's Download, OK on the start prompt).
void StartDownload();
// The worker: every block from the flash's copy, then ReportDownloadResult.
DWORD TransferThread(void *parameter);
// One block as the worker sends it: its bytes from the image copy into the
// start of TransferBuffer (the rest of the buffer as the blocks before left
// it), byte 5 of DownloadCommand, and the command moving 65536 bytes to the
// drive. Returns the completion status.
int SendImageBlock(const uint8_t *image, const BlockStep &step, uint8_t adapter, uint8_t target);
// Completion steps after the final command, handed to the user-interface
// thread: cursor, capture, bar, status, result message; BusyFlag 0 once the
// user has closed it.
void ReportDownloadResult(uint8_t status);

// True from the start of a flash until its result has been reported: while it
// holds, TransferBuffer, DownloadCommand and BusyFlag are the worker's, and
// every command that could change the flash is held off.
bool DownloadWorkerRunning();
// The flash as the user sees it: from Download until the result box has been
// closed (or the transfer ended early). The worker's last step may follow.
// User-interface thread only.
bool FlashInProgress();

// A request to end the program (a signal) while a flash runs: held until the
// final command has returned, or the transfer ended early; then the result
// goes to standard error and the program ends without requesting a restart.
// When the result is already on the screen, that happens at once. False when
// no flash runs: the caller ends the program as Exit does.
bool HoldTerminationForFlash();
