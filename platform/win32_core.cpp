// The layer without a window system; see win32_core.h. Each call is served
// by the file of its concern: UiThread, CommandLine, Login1, Inhibitors,
// DriveLock, AspiBinding, Threads, FlashProcess.
#include "platform/win32_core.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/AspiBinding.h"
#include "platform/CommandLine.h"
#include "platform/DesktopNotice.h"
#include "platform/DriveLock.h"
#include "platform/FlashProcess.h"
#include "platform/Inhibitors.h"
#include "platform/Login1.h"
#include "platform/System.h"
#include "platform/Terminal.h"
#include "platform/Threads.h"

struct CoreWin32Layer::State {
    qtlayer::AspiBinding manager;
    qtlayer::CommandLineCopy commandLine;
    std::mutex lockProblemMutex;
    std::string lockProblem;  // the sentence of the last LockDrive's answer, if it has one
};

CoreWin32Layer::CoreWin32Layer() : state_(new State) {}

CoreWin32Layer::~CoreWin32Layer() { delete state_; }

int CoreWin32Layer::MessageBox(HWND, const char *text, const char *caption, UINT) {
    std::string line = std::string(caption != nullptr ? caption : "") + ": ";
    for (const char *c = text != nullptr ? text : ""; *c != '\0'; ++c) line += *c == '\n' ? ' ' : *c;
    WriteDiagnostic(line.c_str());
    return IDOK;
}

BOOL CoreWin32Layer::GetVersionEx(OSVERSIONINFOA *) {
    // There is no Windows version to report here; the record stays as the
    // caller prepared it.
    return FALSE;
}

void CoreWin32Layer::PostQuitMessage(int code) {
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

const char *CoreWin32Layer::GetCommandLine() { return state_->commandLine.Get(); }

HWND CoreWin32Layer::SetCapture(HWND) { return nullptr; }

BOOL CoreWin32Layer::ReleaseCapture() { return TRUE; }

void CoreWin32Layer::SetScreenCursor(int) {}

int CoreWin32Layer::ScreenCursor() { return crDefault; }

HANDLE CoreWin32Layer::CreateThread(LPTHREAD_START_ROUTINE start, void *param) {
    return qtlayer::StartThread(start, param);
}

DWORD CoreWin32Layer::WaitForSingleObject(HANDLE thread, DWORD milliseconds) {
    return qtlayer::WaitForThread(thread, milliseconds);
}

BOOL CoreWin32Layer::CloseHandle(HANDLE thread) { return qtlayer::CloseThread(thread); }

BOOL CoreWin32Layer::ExitWindowsEx(UINT flags, DWORD) {
    // Only the restart is offered: not shut down (0x01), power off (0x08) or
    // log off (no bit).
    if ((flags & 0x0Bu) != EWX_REBOOT) return FALSE;
    return qtlayer::RequestLogin1Reboot() ? TRUE : FALSE;
}

HANDLE CoreWin32Layer::StartFlashProcess(int channel, int image, std::string *error) {
    return qtlayer::SpawnFlashProcess(channel, image, error);
}

bool CoreWin32Layer::FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) {
    return qtlayer::WaitForFlashProcess(process, milliseconds, how);
}

Hold CoreWin32Layer::HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &say) {
    return qtlayer::TakeFlashInhibitors(why, say);
}

Hold CoreWin32Layer::LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) {
    // The manager knows the device behind the numbers it gives; only a
    // manager that cannot hold it leaves the guard to a lock file.
    DriveLockVerdict verdict;
    Hold hold;
    if (HoldASPI32DeviceFn holdDevice = state_->manager.DeviceHold())
        hold = HoldDriveThroughManager(holdDevice, state_->manager.DeviceHoldDetail(), adapter, target, &verdict);
    else
        hold = TakeDriveLock(adapter, target, &verdict.state, &verdict.problem);
    *state = verdict.state;
    std::lock_guard lock(state_->lockProblemMutex);
    state_->lockProblem = verdict.problem;
    return hold;
}

std::string CoreWin32Layer::DriveLockProblem() {
    std::lock_guard lock(state_->lockProblemMutex);
    return state_->lockProblem;
}

void CoreWin32Layer::QuitNow(int code) {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::exit(code);
}

void CoreWin32Layer::WriteDiagnostic(const char *line) {
    std::fprintf(stderr, "%s\n", line != nullptr ? line : "");
    std::fflush(stderr);
}

bool CoreWin32Layer::FlashProcessRunning(int pid) { return qtlayer::FlashProgramRunning(pid); }

void CoreWin32Layer::LetGoOfStandardStreams() { qtlayer::LetGoOfTheStreams(); }

bool CoreWin32Layer::NotifyDesktop(const std::string &summary, const std::string &body) {
    return qtlayer::NotifyDesktop(summary, body);
}

bool CoreWin32Layer::ExecuteOpenDialog(QFileDialog *, std::string *) { return false; }

uint32_t CoreWin32Layer::AspiSupportInfo() { return state_->manager.SupportInfo(); }

uint32_t CoreWin32Layer::AspiSendCommand(void *srb) { return state_->manager.SendCommand(srb); }

uint32_t CoreWin32Layer::AspiDeviceTransport(uint8_t adapter, uint8_t target) {
    return state_->manager.DeviceTransport(adapter, target);
}
