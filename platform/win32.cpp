// The calls as the program makes them, forwarded to the installed layer.
#include "platform/win32.h"

#include "platform/aspi.h"
#include "platform/win32_core.h"

namespace {
Win32Layer *installed = nullptr;
RestartRefusedHandler restartRefused = nullptr;
RestartAcceptedHandler restartAccepted = nullptr;
}  // namespace

Win32Layer &CurrentWin32Layer() { return installed ? *installed : DefaultWin32Layer(); }

Win32Layer *InstallWin32Layer(Win32Layer *layer) {
    Win32Layer *previous = installed;
    installed = layer;
    return previous;
}

HANDLE CreateThread(void *, size_t, LPTHREAD_START_ROUTINE start, void *param, DWORD, DWORD *threadId) {
    if (threadId) *threadId = 0;
    return CurrentWin32Layer().CreateThread(start, param);
}
DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds) {
    return CurrentWin32Layer().WaitForSingleObject(thread, milliseconds);
}
BOOL CloseHandle(HANDLE thread) { return CurrentWin32Layer().CloseHandle(thread); }
BOOL ExitWindowsEx(UINT flags, DWORD reserved) { return CurrentWin32Layer().ExitWindowsEx(flags, reserved); }
Hold HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &say) {
    return CurrentWin32Layer().HoldOffShutdown(why, say);
}
Hold LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) {
    return CurrentWin32Layer().LockDrive(adapter, target, state);
}
std::string DriveLockProblem() { return CurrentWin32Layer().DriveLockProblem(); }
HANDLE StartFlashProcess(int channel, int image, std::string *error) {
    return CurrentWin32Layer().StartFlashProcess(channel, image, error);
}
bool FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) {
    return CurrentWin32Layer().FlashProcessEnded(process, milliseconds, how);
}
void QuitNow(int code) { CurrentWin32Layer().QuitNow(code); }
void WriteDiagnostic(const char *line) { CurrentWin32Layer().WriteDiagnostic(line); }
void LetGoOfStandardStreams() { CurrentWin32Layer().LetGoOfStandardStreams(); }
bool FlashProcessRunning(int pid) { return CurrentWin32Layer().FlashProcessRunning(pid); }
bool NotifyDesktop(const std::string &summary, const std::string &body) {
    return CurrentWin32Layer().NotifyDesktop(summary, body);
}

void SetRestartRefusedHandler(RestartRefusedHandler handler) { restartRefused = handler; }
void ReportRestartRefusal(const char *reason) {
    if (restartRefused != nullptr) restartRefused(reason);
}
void SetRestartAcceptedHandler(RestartAcceptedHandler handler) { restartAccepted = handler; }
void ReportRestartAcceptance() {
    if (restartAccepted != nullptr) restartAccepted();
}

namespace aspi {
uint32_t GetASPI32SupportInfo() { return CurrentWin32Layer().AspiSupportInfo(); }
uint32_t SendASPI32Command(void *srb) { return CurrentWin32Layer().AspiSendCommand(srb); }
uint32_t GetASPI32DeviceTransport(uint8_t adapter, uint8_t target) {
    return CurrentWin32Layer().AspiDeviceTransport(adapter, target);
}
}  // namespace aspi
