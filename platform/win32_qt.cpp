// The real layer; see win32_qt.h.
#include "platform/win32_qt.h"

#include <QCoreApplication>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/AspiBinding.h"
#include "platform/Boxes.h"
#include "platform/Capture.h"
#include "platform/Login1.h"
#include "platform/UiThread.h"

struct QtWin32Layer::State {
    qtlayer::AspiBinding manager;
    qtlayer::MouseCapture capture;
    qtlayer::CursorOverride cursor;

    std::mutex commandLineMutex;
    bool commandLineRead = false;
    std::string commandLine;
};

QtWin32Layer::QtWin32Layer() : state_(new State) {}

QtWin32Layer::~QtWin32Layer() { delete state_; }

// ---------------------------------------------------------------------------

int QtWin32Layer::MessageBox(HWND owner, const char *text, const char *caption, UINT style) {
    return qtlayer::ShowMessageBox(owner, text, caption, style);
}

BOOL QtWin32Layer::GetVersionEx(OSVERSIONINFOA *) {
    // There is no Windows version to report here; the record stays as the
    // caller prepared it.
    return FALSE;
}

void QtWin32Layer::PostQuitMessage(int code) { qtlayer::PostQuit(code); }

const char *QtWin32Layer::GetCommandLine() {
    std::lock_guard lock(state_->commandLineMutex);
    if (!state_->commandLineRead) {
        // The arguments as the system handed them to the process, byte for
        // byte: the kernel's copy, not the toolkit's (which has taken its own
        // options out and decoded the rest).
        std::string line;
        if (FILE *file = std::fopen("/proc/self/cmdline", "rb")) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) line.append(chunk, n);
            std::fclose(file);
        }
        while (!line.empty() && line.back() == '\0') line.pop_back();
        for (char &c : line)
            if (c == '\0') c = ' ';
        if (line.empty() && QCoreApplication::instance() != nullptr)
            line = QCoreApplication::arguments().join(QLatin1Char(' ')).toLocal8Bit().toStdString();
        state_->commandLine = line;
        state_->commandLineRead = true;
    }
    return state_->commandLine.c_str();
}

HWND QtWin32Layer::SetCapture(HWND window) { return state_->capture.Set(window); }

BOOL QtWin32Layer::ReleaseCapture() {
    state_->capture.Release();
    return TRUE;
}

void QtWin32Layer::SetScreenCursor(int cursor) { state_->cursor.Set(cursor); }

int QtWin32Layer::ScreenCursor() { return state_->cursor.Get(); }

HANDLE QtWin32Layer::CreateThread(LPTHREAD_START_ROUTINE start, void *param) {
    if (start == nullptr) return nullptr;
    try {
        std::thread([start, param] { start(param); }).detach();
    } catch (const std::system_error &) {
        return nullptr;
    }
    // The handle is never used to reach the thread; it only tells that one
    // was started.
    static std::atomic<uintptr_t> started{0};
    return reinterpret_cast<HANDLE>(++started);
}

BOOL QtWin32Layer::ExitWindowsEx(UINT flags, DWORD) {
    // Only the restart is offered: not shut down (0x01), power off (0x08) or
    // log off (no bit).
    if ((flags & 0x0Bu) != EWX_REBOOT) return FALSE;
    return qtlayer::RequestLogin1Reboot() ? TRUE : FALSE;
}

int QtWin32Layer::TakeShutdownInhibitor(const char *why) { return qtlayer::TakeLogin1Inhibitor(why); }

void QtWin32Layer::ReleaseShutdownInhibitor(int fd) { qtlayer::ReleaseLogin1Inhibitor(fd); }

bool QtWin32Layer::ExecuteOpenDialog(QFileDialog *dialog, std::string *path) {
    return qtlayer::RunOpenDialog(dialog, path);
}

uint32_t QtWin32Layer::AspiSupportInfo() { return state_->manager.SupportInfo(); }

uint32_t QtWin32Layer::AspiSendCommand(void *srb) { return state_->manager.SendCommand(srb); }
