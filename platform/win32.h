// The operating-system calls the program is written against, with the names,
// constants and meanings it knows them by. On this system they are provided by
// a layer of our own on Qt 6, POSIX and D-Bus (win32_qt.h and the files
// beside it, one concern each). The layer is the only place that knows it runs
// on Linux.
//
// Every call goes through the installed Win32Layer. InstallWin32Layer is the
// one seam through which tests put a recorder in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Hold.h"

class QWidget;
class QFileDialog;

using BOOL = int;
using UINT = unsigned int;
using DWORD = uint32_t;
using HWND = QWidget *;
using HANDLE = void *;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// MessageBoxA styles and results
constexpr UINT MB_OK = 0x0000;
constexpr UINT MB_OKCANCEL = 0x0001;
constexpr UINT MB_ICONERROR = 0x0010;
constexpr UINT MB_APPLMODAL = 0x0000;
constexpr UINT MB_SYSTEMMODAL = 0x1000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// GetVersionExA: the 148-byte version record
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "version record must be 148 bytes");
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// Screen cursor values
constexpr int crDefault = 0;
constexpr int crHourGlass = -11;

// ExitWindowsEx
constexpr UINT EWX_REBOOT = 0x0002;

// WaitForSingleObject
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

using LPTHREAD_START_ROUTINE = DWORD (*)(void *);

// The layer. Each virtual is one platform service; the default implementation
// (QtWin32Layer, win32_qt.h) is the real one.
class Win32Layer {
public:
    virtual ~Win32Layer() = default;

    // Modal box owned by `owner`: caption as window title, text unchanged
    // (\n starts a new line). MB_SYSTEMMODAL boxes stay on top of every
    // window. Returns IDOK or IDCANCEL. Safe to call from any thread: off the
    // user-interface thread the box is shown there and the caller waits.
    virtual int MessageBox(HWND owner, const char *text, const char *caption, UINT style) = 0;
    // Fills the record as far as the system can; FALSE when the query fails
    // (on this system always: the record stays zero).
    virtual BOOL GetVersionEx(OSVERSIONINFOA *info) = 0;
    // Asks the message loop to end with `code` as soon as it runs, also when
    // it has not started yet.
    virtual void PostQuitMessage(int code) = 0;
    // The program's path and arguments joined with single blanks, as
    // received, with the path in double quotes when it holds a blank, as
    // Windows gives a program its command line.
    virtual const char *GetCommandLine() = 0;
    // While captured, mouse presses and releases aimed at `window` and its
    // children are swallowed; the keyboard is not. Returns the previous
    // capture window.
    virtual HWND SetCapture(HWND window) = 0;
    virtual BOOL ReleaseCapture() = 0;
    // The application-wide cursor: crDefault or crHourGlass.
    virtual void SetScreenCursor(int cursor) = 0;
    virtual int ScreenCursor() = 0;
    // Starts `start(param)` on a new thread at once. The handle is the
    // thread's until CloseHandle: WaitForSingleObject waits for its end.
    virtual HANDLE CreateThread(LPTHREAD_START_ROUTINE start, void *param) = 0;
    // Waits up to `milliseconds` (INFINITE: without a limit) for the thread
    // to end; WAIT_OBJECT_0 once it has ended (and is joined), WAIT_TIMEOUT,
    // or WAIT_FAILED for no thread.
    virtual DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds) = 0;
    // Lets the handle go; a thread still running goes on by itself.
    virtual BOOL CloseHandle(HANDLE thread) = 0;
    // EWX_REBOOT: org.freedesktop.login1.Manager.Reboot(true) on the system
    // bus, asked without waiting for the answer. The answer, when it comes,
    // goes to the handlers: a refusal (an error answer, or no logind to ask)
    // to SetRestartRefusedHandler's, an acceptance to
    // SetRestartAcceptedHandler's.
    virtual BOOL ExitWindowsEx(UINT flags, DWORD reserved) = 0;
    // Holds off shutdown, sleep and logout while a drive's flash is written:
    // logind's block inhibitor for shutdown and sleep (system bus) and the
    // desktop portal's for logout and suspend (session bus). Both are asked
    // without waiting for their answers, so that neither can hold the flash
    // up; without them the flash goes on. Released when the hold is
    // destroyed, also when an answer comes only afterwards. Called on the
    // user-interface thread. What the flash should know (no bus, an
    // inhibitor refused) goes to `say`, each line once a run; with none, to
    // standard error after the program's name.
    virtual Hold HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &say) = 0;
    // Keeps every other process off drive (adapter, target), as the manager
    // numbers it, until the hold is destroyed, without waiting: through the
    // manager's HoldASPI32Device when it has one, else with a lock file.
    // `state` tells whether it was taken (perhaps with the kernel still
    // polling it: TakenShared), held by another process, refused for a
    // mounted disc or another program's exclusive open, or cannot be had
    // safely (Unsafe); DriveLockProblem says the sentence of each but Taken
    // and HeldElsewhere.
    virtual Hold LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) = 0;
    // The sentence for the last LockDrive's answer (why it was refused, or
    // for TakenShared that the kernel goes on polling the drive); empty for
    // Taken and HeldElsewhere.
    virtual std::string DriveLockProblem() = 0;
    // Starts the flash's own process (platform/FlashProcess.h,
    // qtlayer::SpawnFlashProcess): `channel` and `image` become its descriptors 3
    // and 4. nullptr when it cannot be started, `error` saying why.
    virtual HANDLE StartFlashProcess(int channel, int image, std::string *error) = 0;
    // Waits up to `milliseconds` for that process to end. True once it has,
    // `how` saying how; the handle is then let go.
    virtual bool FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how) = 0;
    // Ends the message loop and every modal loop inside it at once (a box
    // open then returns as if unanswered): for the program's end at the
    // session's request, which no open box may hold up.
    virtual void QuitNow(int code) = 0;
    // One line for the user on standard error.
    virtual void WriteDiagnostic(const char *line) = 0;
    // Whether the flash's own process of this id runs now
    // (platform/System.h).
    virtual bool FlashProcessRunning(int pid) = 0;
    // Standard output and error let go of (platform/Terminal.h).
    virtual void LetGoOfStandardStreams() = 0;
    // A notice on the user's desktop (platform/DesktopNotice.h); false when
    // there is nobody to show it.
    virtual bool NotifyDesktop(const std::string &summary, const std::string &body) = 0;
    // Runs the file-open dialog; true with the chosen full path, false on cancel.
    virtual bool ExecuteOpenDialog(QFileDialog *dialog, std::string *path) = 0;
    // The ASPI manager's two entry points (see platform/aspi.h).
    virtual uint32_t AspiSupportInfo() = 0;
    virtual uint32_t AspiSendCommand(void *srb) = 0;
    // How the device is attached, as the manager tells it
    // (GetASPI32DeviceTransport, TRANSPORT_*); TRANSPORT_UNKNOWN when it
    // cannot.
    virtual uint32_t AspiDeviceTransport(uint8_t adapter, uint8_t target) = 0;
};

// The installed layer; the Qt layer unless a test installed another.
Win32Layer &CurrentWin32Layer();
// Installs `layer` (nullptr: back to the Qt layer); returns the previous one.
Win32Layer *InstallWin32Layer(Win32Layer *layer);

// The calls, as the program's code makes them. The window's own (boxes,
// capture, cursor, the command line, quitting the window's loop) are declared
// in platform/window/win32_window.h, and defined only in the window's library.
HANDLE CreateThread(void *attributes, size_t stackSize, LPTHREAD_START_ROUTINE start, void *param,
                    DWORD creationFlags, DWORD *threadId);
DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds);
BOOL CloseHandle(HANDLE thread);
BOOL ExitWindowsEx(UINT flags, DWORD reserved);
Hold HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &say = {});
Hold LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state);
std::string DriveLockProblem();
HANDLE StartFlashProcess(int channel, int image, std::string *error);
bool FlashProcessEnded(HANDLE process, DWORD milliseconds, std::string *how);
void QuitNow(int code);
void WriteDiagnostic(const char *line);
void LetGoOfStandardStreams();
bool FlashProcessRunning(int pid);
bool NotifyDesktop(const std::string &summary, const std::string &body);

// Where the layer reports a restart that the system refused after
// ExitWindowsEx had asked for it: called on the user-interface thread with
// the system's reason. Null: nobody is told.
using RestartRefusedHandler = void (*)(const char *reason);
void SetRestartRefusedHandler(RestartRefusedHandler handler);
// The layer's side: tells the handler, if there is one.
void ReportRestartRefusal(const char *reason);
// The same for a restart the system accepted.
using RestartAcceptedHandler = void (*)();
void SetRestartAcceptedHandler(RestartAcceptedHandler handler);
void ReportRestartAcceptance();

// wsprintfA: %u, %d, %i, %x, %X, %s, %c and %%, with the flags '-', '0', '#',
// a width, a precision and the l prefix (32 bits), as the Windows call formats
// them; anything else is copied as written and takes no argument. Writes at
// most 1024 characters and the zero; returns the count written.
int wsprintfA(char *out, const char *format, ...);

// Runs `work` on the user-interface thread, the only one that may touch the
// windows, and returns when it has run; called there, it runs at once. An
// exception thrown by the work ends the work, not the caller's wait. True when
// the work ran to its end; false when it was dropped: the user-interface
// thread is gone (there is no application, or EndUserInterfaceHandoffs was
// called), and the work never runs, or never finishes, there.
bool RunOnUserInterfaceThread(const std::function<void()> &work);
// The user-interface thread will run no more work handed to it: the program
// is ending (its message loop is over, or the process is exiting). From now
// on hand-overs from other threads are dropped, and a thread waiting for one
// is released at once. Called on the user-interface thread.
void EndUserInterfaceHandoffs();

// File lookup as Windows does it: the exact name if it exists, else the one
// entry of the named directory whose name matches ignoring letter case; with
// none or more than one, the name unchanged.
std::string ResolveFileName(const std::string &path);
