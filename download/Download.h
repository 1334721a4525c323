// The download: StartDownload sends every block but the last from the
// user-interface thread; the worker FinalBlockThread sends the last one and
// runs the completion steps.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Download (Down, the menu's Download, OK on the start prompt): the loaded
// image, checked again, goes to the selected drive block by block.
void StartDownload();
// Sends the final block as StartDownload left it, then reports.
DWORD FinalBlockThread(void *parameter);
// Completion steps after the final command, on the worker thread: cursor,
// capture, bar, status, result message (shown on the user-interface thread),
// and BusyFlag 0 once the user has closed it.
void ReportDownloadResult(uint8_t status);

// One block's two halves, as the download uses them for every block.
// Reads `length` bytes of ImageFile at `offset` into the start of
// TransferBuffer; false when fewer came.
bool ReadImageBlock(int32_t offset, int32_t length);
// Sends DownloadCommand as it stands with the first 65536 bytes of
// TransferBuffer to the selected drive; returns the completion status.
int SendDownloadCommand();

// True from the start of the worker until it has reported the result: while
// it holds, TransferBuffer, DownloadCommand and BusyFlag are the worker's, and
// Download is held off.
bool DownloadWorkerRunning();
