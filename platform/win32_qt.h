// The real layer: Qt 6 for windows, boxes, cursor and capture; POSIX for
// threads, files and the drives' locks; D-Bus for the restart and the
// inhibitors; dlopen for the ASPI manager.
#pragma once

#include "platform/win32.h"

class QtWin32Layer : public Win32Layer {
public:
    QtWin32Layer();
    ~QtWin32Layer() override;
    QtWin32Layer(const QtWin32Layer &) = delete;
    QtWin32Layer &operator=(const QtWin32Layer &) = delete;

    int MessageBox(HWND owner, const char *text, const char *caption, UINT style) override;
    BOOL GetVersionEx(OSVERSIONINFOA *info) override;
    void PostQuitMessage(int code) override;
    const char *GetCommandLine() override;
    HWND SetCapture(HWND window) override;
    BOOL ReleaseCapture() override;
    void SetScreenCursor(int cursor) override;
    int ScreenCursor() override;
    HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *param) override;
    DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE thread) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    Hold HoldOffShutdown(const char *why) override;
    Hold LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) override;
    std::string DriveLockProblem() override;
    HANDLE StartFlashProcess(int channel, int image, std::string *error) override;
    bool FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) override;
    void QuitNow(int code) override;
    void WriteDiagnostic(const char *line) override;
    bool ExecuteOpenDialog(QFileDialog *dialog, std::string *path) override;
    uint32_t AspiSupportInfo() override;
    uint32_t AspiSendCommand(void *srb) override;

private:
    // What the layer keeps (capture filter, cursor, command line, the bound
    // manager) is defined with its concern (Capture.h, CommandLine.h,
    // AspiBinding.h); State in win32_qt.cpp holds one of each.
    struct State;
    State *state_;
};
