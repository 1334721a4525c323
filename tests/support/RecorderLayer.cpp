#include "tests/support/RecorderLayer.h"

#include <unistd.h>

#include <fcntl.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>

#include "transfer/Transfer.h"

#include "platform/wnaspi32.h"

RecorderLayer::RecorderLayer() { previous_ = InstallWin32Layer(this); }
RecorderLayer::~RecorderLayer() { InstallWin32Layer(previous_); }

void RecorderLayer::Log(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

int RecorderLayer::MessageBox(HWND owner, const char *text, const char *caption, UINT style) {
    BoxRecord record{text ? text : "", caption ? caption : "", style, owner,
                     QCoreApplication::instance() &&
                         QThread::currentThread() == QCoreApplication::instance()->thread()};
    int answer = IDOK;
    {
        std::lock_guard lock(mutex_);
        boxes_.push_back(record);
        events_.push_back("MessageBox " + record.text);
        if (!boxAnswers.empty()) {
            answer = boxAnswers.front();
            boxAnswers.pop_front();
        }
    }
    if (onBox) onBox(record);
    Log("MessageBox closed");
    return answer;
}

BOOL RecorderLayer::GetVersionEx(OSVERSIONINFOA *info) {
    Log("GetVersionEx");
    if (!versionSucceeds) return FALSE;
    info->dwPlatformId = platformId;
    return TRUE;
}

void RecorderLayer::PostQuitMessage(int code) {
    std::lock_guard lock(mutex_);
    quits_.push_back(code);
    events_.push_back("PostQuitMessage " + std::to_string(code));
}

const char *RecorderLayer::GetCommandLine() { return commandLine.c_str(); }

HWND RecorderLayer::SetCapture(HWND window) {
    Log("SetCapture");
    HWND previous = capture;
    capture = window;
    return previous;
}

BOOL RecorderLayer::ReleaseCapture() {
    Log("ReleaseCapture");
    capture = nullptr;
    return TRUE;
}

void RecorderLayer::SetScreenCursor(int value) {
    Log("Cursor " + std::to_string(value));
    cursor = value;
}

int RecorderLayer::ScreenCursor() { return cursor; }

BOOL RecorderLayer::ExitWindowsEx(UINT flags, DWORD reserved) {
    Log("ExitWindowsEx " + std::to_string(flags) + " " + std::to_string(reserved));
    return TRUE;
}

namespace {
// A hold that logs its release.
class RecordedHold : public PlatformHold {
public:
    RecordedHold(RecorderLayer *layer, std::string released) : layer_(layer), released_(std::move(released)) {}
    ~RecordedHold() override { layer_->Note(released_); }

private:
    RecorderLayer *layer_;
    std::string released_;
};
}  // namespace

Hold RecorderLayer::HoldOffShutdown(const char *why, const std::function<void(const std::string &)> &) {
    Log(std::string("Inhibit ") + (why ? why : ""));
    if (!inhibitorAvailable) return nullptr;
    return std::make_unique<RecordedHold>(this, "ReleaseInhibit");
}

Hold RecorderLayer::LockDrive(uint8_t adapter, uint8_t target, DriveLockState *state) {
    Log("LockDrive " + std::to_string(adapter) + " " + std::to_string(target));
    *state = driveLock;
    if (!DriveLockTaken(driveLock)) return nullptr;
    return std::make_unique<RecordedHold>(this, "UnlockDrive");
}

std::string RecorderLayer::DriveLockProblem() { return driveLockProblem; }

namespace {
struct InProcessTransfer {
    bool ended = false;
    int status = 0;
    TransferSessionHold session;  // let go with the process's handle, once it has ended
};
}  // namespace

HANDLE RecorderLayer::StartFlashProcess(int channel, int image, std::string *error) {
    Log("StartFlashProcess");
    if (startFlashProcess) return startFlashProcess(channel, image, error);
    // The session takes its descriptors, as the process would its copies.
    auto *process = new InProcessTransfer;
    transfersRunning.fetch_add(1);
    process->session = StartTransferSession(::fcntl(channel, F_DUPFD_CLOEXEC, 0), ::fcntl(image, F_DUPFD_CLOEXEC, 0),
                                            [this, process](int status) {
                                                process->status = status;
                                                process->ended = true;
                                                transfersRunning.fetch_sub(1);
                                            });
    return process;
}

bool RecorderLayer::FlashProcessEnded(HANDLE handle, DWORD, std::string *how) {
    if (flashProcessEnded) return flashProcessEnded(handle, how);
    // The session ends on this thread's loop: asked here, it has or has not.
    auto *process = static_cast<InProcessTransfer *>(handle);
    if (!process->ended) return false;
    *how = "it ended with status " + std::to_string(process->status);
    delete process;
    return true;
}

void RecorderLayer::QuitNow(int code) { Log("QuitNow " + std::to_string(code)); }

bool RecorderLayer::FlashProcessRunning(int pid) {
    return pid == static_cast<int>(getpid()) || QtWin32Layer::FlashProcessRunning(pid);
}

void RecorderLayer::LetGoOfStandardStreams() { Log("LetGoOfStandardStreams"); }

bool RecorderLayer::NotifyDesktop(const std::string &summary, const std::string &body) {
    Log("NotifyDesktop " + summary + "|" + body);
    return false;
}

void RecorderLayer::WriteDiagnostic(const char *line) {
    std::lock_guard lock(mutex_);
    diagnostics_.push_back(line != nullptr ? line : "");
    events_.push_back("Diagnostic");
}

void RecorderLayer::Note(std::string event) { Log(std::move(event)); }

bool RecorderLayer::ExecuteOpenDialog(QFileDialog *, std::string *path) {
    std::optional<std::string> answer;
    {
        std::lock_guard lock(mutex_);
        events_.push_back("OpenDialog");
        if (!dialogAnswers.empty()) {
            answer = dialogAnswers.front();
            dialogAnswers.pop_front();
        }
    }
    if (!answer) return false;
    *path = *answer;
    return true;
}

uint32_t RecorderLayer::AspiSupportInfo() { return supportInfo ? supportInfo() : 0; }

uint32_t RecorderLayer::AspiDeviceTransport(uint8_t adapter, uint8_t target) {
    return deviceTransport ? deviceTransport(adapter, target) : TRANSPORT_UNKNOWN;
}

uint32_t RecorderLayer::AspiSendCommand(void *srb) {
    if (sendCommand) return sendCommand(srb);
    SrbStatusStore(static_cast<SRB_ExecSCSICmd *>(srb), SS_NO_ADAPTERS);
    return SS_NO_ADAPTERS;
}

std::vector<BoxRecord> RecorderLayer::Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
}
std::vector<std::string> RecorderLayer::Events() {
    std::lock_guard lock(mutex_);
    return events_;
}
std::vector<std::string> RecorderLayer::Diagnostics() {
    std::lock_guard lock(mutex_);
    return diagnostics_;
}
std::vector<int> RecorderLayer::QuitRequests() {
    std::lock_guard lock(mutex_);
    return quits_;
}
void RecorderLayer::Clear() {
    std::lock_guard lock(mutex_);
    boxes_.clear();
    events_.clear();
    quits_.clear();
    diagnostics_.clear();
}
