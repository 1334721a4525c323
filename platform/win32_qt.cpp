// The real layer; see win32_qt.h. Each call is served by the file of its
// concern: Boxes, UiThread, CommandLine, Capture, Login1, Inhibitors,
// DriveLock, AspiBinding, Threads, FlashProcess.
#include "platform/win32_qt.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/AspiBinding.h"
#include "platform/Boxes.h"
#include "platform/Capture.h"
#include "platform/CommandLine.h"
#include "platform/DriveLock.h"
#include "platform/FlashProcess.h"
#include "platform/Inhibitors.h"
#include "platform/Login1.h"
#include "platform/Threads.h"
#include "platform/UiThread.h"

struct QtWin32Layer::State {
    qtlayer::AspiBinding manager;
    qtlayer::MouseCapture capture;
    qtlayer::CursorOverride cursor;
    qtlayer::CommandLineCopy commandLine;
    std::mutex lockProblemMutex;
    std::string lockProblem;  // why the last LockDrive answered Unsafe
};

QtWin32Layer::QtWin32Layer() : state_(new State) {}

QtWin32Layer::~QtWin32Layer() { delete state_; }

int QtWin32Layer::MessageBox(HWND owner, const char *text, const char *caption, UINT style) {
    return qtlayer::ShowMessageBox(owner, text, caption, style);
}

BOOL QtWin32Layer::GetVersionEx(OSVERSIONINFOA *) {
    // There is no Windows version to report here; the record stays as the
    // caller prepared it.
    return FALSE;
}

void QtWin32Layer::PostQuitMessage(int code) { qtlayer::PostQuit(code); }

const char *QtWin32Layer::GetCommandLine() { return state_->commandLine.Get(); }

HWND QtWin32Layer::SetCapture(HWND window) { return state_->capture.Set(window); }

BOOL QtWin32Layer::ReleaseCapture() {
    state_->capture.Release();
    return TRUE;
}

void QtWin32Layer::SetScreenCursor(int cursor) { state_->cursor.Set(cursor); }

int QtWin32Layer::ScreenCursor() { return state_->cursor.Get(); }

HANDLE QtWin32Layer::CreateThread(LPTHREAD_START_ROUTINE start, void *param) {
    return qtlayer::StartThread(start, param);
}

DWORD QtWin32Layer::WaitForSingleObject(HANDLE thread, DWORD milliseconds) {
    return qtlayer::WaitForThread(thread, milliseconds);
}

BOOL QtWin32Layer::CloseHandle(HANDLE thread) { return qtlayer::CloseThread(thread); }

BOOL QtWin32Layer::ExitWindowsEx(UINT flags, DWORD) {
    // Only the restart is offered: not shut down (0x01), power off (0x08) or
    // log off (no bit).
    if ((flags & 0x0Bu) != EWX_REBOOT) return FALSE;
    return qtlayer::RequestLogin1Reboot() ? TRUE : FALSE;
}

HANDLE QtWin32Layer::StartFlashProcess(int channel, int image, std::string *error) {
    return StartTransferProgram(channel, image, error);
}

bool QtWin32Layer::FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) {
    return TransferProgramEnded(process, milliseconds, how);
}

Hold QtWin32Layer::HoldOffShutdown(const char *why) { return qtlayer::TakeFlashInhibitors(why); }

Hold QtWin32Layer::LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) {
    // The manager knows the device behind the numbers it gives; only a
    // manager that cannot hold it leaves the guard to a lock file.
    DriveLockVerdict verdict;
    Hold hold;
    if (HoldASPI32DeviceFn holdDevice = state_->manager.DeviceHold())
        hold = HoldDriveThroughManager(holdDevice, adapter, target, &verdict);
    else
        hold = TakeDriveLock(adapter, target, &verdict.state, &verdict.problem);
    *state = verdict.state;
    std::lock_guard lock(state_->lockProblemMutex);
    state_->lockProblem = verdict.problem;
    return hold;
}

std::string QtWin32Layer::DriveLockProblem() {
    std::lock_guard lock(state_->lockProblemMutex);
    return state_->lockProblem;
}

void QtWin32Layer::QuitNow(int code) { qtlayer::QuitAtOnce(code); }

void QtWin32Layer::WriteDiagnostic(const char *line) {
    std::fprintf(stderr, "%s\n", line != nullptr ? line : "");
    std::fflush(stderr);
}

bool QtWin32Layer::ExecuteOpenDialog(QFileDialog *dialog, std::string *path) {
    return qtlayer::RunOpenDialog(dialog, path);
}

uint32_t QtWin32Layer::AspiSupportInfo() { return state_->manager.SupportInfo(); }

uint32_t QtWin32Layer::AspiSendCommand(void *srb) { return state_->manager.SendCommand(srb); }
