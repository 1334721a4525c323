// The download's worker thread and completion steps.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// Sends the final block as ToolButton2Click left it, then reports.
DWORD FinalBlockThread(void *parameter);
// Completion steps after the final command, on the worker thread: cursor,
// capture, bar, status, result message (shown on the user-interface thread),
// and BusyFlag 0 once the user has closed it.
void ReportDownloadResult(uint8_t status);
