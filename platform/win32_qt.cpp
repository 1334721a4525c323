// First cut of the real layer; see win32_qt.h.
#include "platform/win32_qt.h"

#include <dlfcn.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/wnaspi32.h"

struct QtWin32Layer::State {
    std::once_flag bindOnce;
    GetASPI32SupportInfoFn supportInfo = nullptr;
    SendASPI32CommandFn sendCommand = nullptr;
    HWND capture = nullptr;
    int cursor = crDefault;
    std::string commandLine;

    void Bind() {
        std::call_once(bindOnce, [this] {
            void *lib = dlopen("libwnaspi32.so.1", RTLD_NOW | RTLD_LOCAL);
            if (!lib) return;
            auto info = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(lib, "GetASPI32SupportInfo"));
            auto send = reinterpret_cast<SendASPI32CommandFn>(dlsym(lib, "SendASPI32Command"));
            if (!info || !send) return;
            supportInfo = info;
            sendCommand = send;
        });
    }
};

QtWin32Layer::QtWin32Layer() : state_(new State) {}
QtWin32Layer::~QtWin32Layer() { delete state_; }

int QtWin32Layer::MessageBox(HWND owner, const char *text, const char *caption, UINT style) {
    QMessageBox box(owner);
    box.setWindowTitle(QString::fromLatin1(caption));
    box.setText(QString::fromLatin1(text));
    box.setIcon((style & MB_ICONERROR) ? QMessageBox::Critical : QMessageBox::NoIcon);
    box.setStandardButtons((style & MB_OKCANCEL) ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    if (style & MB_SYSTEMMODAL) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return box.exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

BOOL QtWin32Layer::GetVersionEx(OSVERSIONINFOA *) { return FALSE; }

void QtWin32Layer::PostQuitMessage(int code) {
    QMetaObject::invokeMethod(qApp, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

const char *QtWin32Layer::GetCommandLine() {
    if (state_->commandLine.empty()) {
        const QStringList args = QCoreApplication::arguments();
        state_->commandLine = args.join(QLatin1Char(' ')).toStdString();
    }
    return state_->commandLine.c_str();
}

HWND QtWin32Layer::SetCapture(HWND window) {
    HWND previous = state_->capture;
    state_->capture = window;
    return previous;
}
BOOL QtWin32Layer::ReleaseCapture() {
    state_->capture = nullptr;
    return TRUE;
}

void QtWin32Layer::SetScreenCursor(int cursor) {
    if (cursor == state_->cursor) return;
    if (cursor == crHourGlass) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
    state_->cursor = cursor;
}
int QtWin32Layer::ScreenCursor() { return state_->cursor; }

HANDLE QtWin32Layer::CreateThread(LPTHREAD_START_ROUTINE start, void *param) {
    std::thread([start, param] { start(param); }).detach();
    return reinterpret_cast<HANDLE>(1);
}

BOOL QtWin32Layer::ExitWindowsEx(UINT, DWORD) { return FALSE; }
int QtWin32Layer::TakeShutdownInhibitor(const char *) { return -1; }
void QtWin32Layer::ReleaseShutdownInhibitor(int fd) {
    if (fd >= 0) ::close(fd);
}

bool QtWin32Layer::ExecuteOpenDialog(QFileDialog *dialog, std::string *path) {
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return false;
    *path = dialog->selectedFiles().first().toStdString();
    return true;
}

uint32_t QtWin32Layer::AspiSupportInfo() {
    state_->Bind();
    return state_->supportInfo ? state_->supportInfo() : 0;
}

uint32_t QtWin32Layer::AspiSendCommand(void *srb) {
    state_->Bind();
    if (state_->sendCommand) return state_->sendCommand(srb);
    SrbStatusStore(static_cast<SRB_ExecSCSICmd *>(srb), SS_NO_ADAPTERS);
    return SS_NO_ADAPTERS;
}

int wsprintfA(char *out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out, 1025, format, args);
    va_end(args);
    return n;
}

std::string ResolveFileName(const std::string &path) { return path; }
