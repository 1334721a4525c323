// A platform layer for tests: records every call, answers message boxes and
// the file dialog from a script, reports the version the test sets, and sends
// ASPI requests to whatever the test connects (FakeAspi, or nothing: no
// manager). Constructing it installs it; destroying it puts the Qt layer back.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/window/win32_qt.h"
#include "platform/window/win32_window.h"

struct BoxRecord {
    std::string text;
    std::string caption;
    UINT style = 0;
    HWND owner = nullptr;
    bool onUiThread = false;
};

class RecorderLayer : public QtWin32Layer {
public:
    RecorderLayer();
    ~RecorderLayer() override;

    int MessageBox(HWND owner, const char *text, const char *caption, UINT style) override;
    BOOL GetVersionEx(OSVERSIONINFOA *info) override;
    void PostQuitMessage(int code) override;
    const char *GetCommandLine() override;
    HWND SetCapture(HWND window) override;
    BOOL ReleaseCapture() override;
    void SetScreenCursor(int cursor) override;
    int ScreenCursor() override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    Hold HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &say) override;
    Hold LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) override;
    std::string DriveLockProblem() override;
    // The flash's process runs here, in this process: a session on this
    // thread's loop over the channel (its worker a thread of the layer's),
    // unless the test starts something of its own.
    HANDLE StartFlashProcess(int channel, int image, std::string *error) override;
    bool FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) override;
    void QuitNow(int code) override;
    void WriteDiagnostic(const char *line) override;
    // The flashes' processes it runs are sessions of the test's own.
    bool FlashProcessRunning(int pid) override;
    void LetGoOfStandardStreams() override;
    bool NotifyDesktop(const std::string &summary, const std::string &body) override;
    bool ExecuteOpenDialog(QFileDialog *dialog, std::string *path) override;
    uint32_t AspiSupportInfo() override;
    uint32_t AspiSendCommand(void *srb) override;
    uint32_t AspiDeviceTransport(uint8_t adapter, uint8_t target) override;

    // Copies, safe to take while a worker thread is running.
    std::vector<BoxRecord> Boxes();
    std::vector<std::string> Events();
    std::vector<int> QuitRequests();
    std::vector<std::string> Diagnostics();  // the lines for standard error
    void Note(std::string event);            // an event of the test's own
    void Clear();

    // Script. Set before the code under test runs.
    std::deque<int> boxAnswers;                        // IDOK when empty
    std::function<void(const BoxRecord &)> onBox;      // runs while the box is "open"
    std::deque<std::optional<std::string>> dialogAnswers;  // nullopt: cancel; empty: cancel
    bool versionSucceeds = false;
    DWORD platformId = 0;
    std::string commandLine = "/usr/bin/quorvel";
    bool inhibitorAvailable = true;
    DriveLockState driveLock = DriveLockState::Taken;  // what LockDrive finds
    std::string driveLockProblem;                      // its sentence (DriveLockProblem)
    // In place of the in-process session: the test's own process (a
    // scripted one, say), and how it ended.
    std::function<HANDLE(int channel, int image, std::string *error)> startFlashProcess;
    std::function<bool(HANDLE process, std::string *how)> flashProcessEnded;
    // In-process sessions not yet ended.
    std::atomic<int> transfersRunning{0};
    // The ASPI manager; unset means no manager (0 adapters, SS_NO_ADAPTERS).
    std::function<uint32_t()> supportInfo;
    std::function<uint32_t(void *)> sendCommand;
    std::function<uint32_t(uint8_t, uint8_t)> deviceTransport;  // TRANSPORT_UNKNOWN when unset

    // What the program set.
    HWND capture = nullptr;
    int cursor = crDefault;

private:
    void Log(std::string event);
    std::mutex mutex_;
    std::vector<BoxRecord> boxes_;
    std::vector<std::string> events_;
    std::vector<int> quits_;
    std::vector<std::string> diagnostics_;
    Win32Layer *previous_ = nullptr;
};
