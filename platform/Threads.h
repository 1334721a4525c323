// Inside the platform layer: CreateThread's threads, each reached through
// its handle until CloseHandle, so that whoever started it can wait for its
// end and join it.
#pragma once

#include "platform/win32.h"

namespace qtlayer {

HANDLE StartThread(LPTHREAD_START_ROUTINE start, void *param);
DWORD WaitForThread(HANDLE thread, DWORD milliseconds);
BOOL CloseThread(HANDLE thread);

}  // namespace qtlayer
