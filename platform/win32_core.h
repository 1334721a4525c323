// The layer without a window system: everything but windows, boxes, cursor
// and capture. POSIX for threads, files and the drives' locks; D-Bus for the
// restart and the inhibitors; dlopen for the ASPI manager. The flash's own
// process runs on it alone, so that it loads no windowing library; the
// window's layer (win32_qt.h) adds the rest.
#pragma once

#include "platform/win32.h"

class CoreWin32Layer : public Win32Layer {
public:
    CoreWin32Layer();
    ~CoreWin32Layer() override;
    CoreWin32Layer(const CoreWin32Layer &) = delete;
    CoreWin32Layer &operator=(const CoreWin32Layer &) = delete;

    // Without a window system a box is its text on standard error, and is
    // taken as answered with OK.
    int MessageBox(HWND owner, const char *text, const char *caption, UINT style) override;
    BOOL GetVersionEx(OSVERSIONINFOA *info) override;
    void PostQuitMessage(int code) override;
    const char *GetCommandLine() override;
    // No windows: nothing to capture, no cursor to show.
    HWND SetCapture(HWND window) override;
    BOOL ReleaseCapture() override;
    void SetScreenCursor(int cursor) override;
    int ScreenCursor() override;
    HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *param) override;
    DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE thread) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    Hold HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &say) override;
    Hold LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) override;
    std::string DriveLockProblem() override;
    HANDLE StartFlashProcess(int channel, int image, std::string *error) override;
    bool FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) override;
    void QuitNow(int code) override;
    void WriteDiagnostic(const char *line) override;
    bool FlashProcessRunning(int pid) override;
    void LetGoOfStandardStreams() override;
    bool NotifyDesktop(const std::string &summary, const std::string &body) override;
    bool ExecuteOpenDialog(QFileDialog *dialog, std::string *path) override;
    uint32_t AspiSupportInfo() override;
    uint32_t AspiSendCommand(void *srb) override;
    uint32_t AspiDeviceTransport(uint8_t adapter, uint8_t target) override;

private:
    // The command line and the bound manager, each defined with its concern
    // (CommandLine.h, AspiBinding.h); State in win32_core.cpp holds them.
    struct State;
    State *state_;
};

// The layer a program runs on unless a test installed another, defined by the
// object each program links: this layer (platform/CoreLayer.cpp) for the
// programs without a window system, the window's (QtWin32Layer,
// platform/window/DefaultLayer.cpp) for the window's.
Win32Layer &DefaultWin32Layer();
