// The real layer of a program with windows; see win32_qt.h. Each call is
// served by the file of its concern: Boxes, UiThread, Capture.
#include "platform/window/win32_qt.h"

#include "platform/window/Boxes.h"
#include "platform/window/Capture.h"
#include "platform/UiThread.h"
#include "platform/window/Quit.h"

struct QtWin32Layer::State {
    qtlayer::MouseCapture capture;
    qtlayer::CursorOverride cursor;
};

QtWin32Layer::QtWin32Layer() : state_(new State) {}

QtWin32Layer::~QtWin32Layer() { delete state_; }

int QtWin32Layer::MessageBox(HWND owner, const char *text, const char *caption, UINT style) {
    return qtlayer::ShowMessageBox(owner, text, caption, style);
}

void QtWin32Layer::PostQuitMessage(int code) { qtlayer::PostQuit(code); }

HWND QtWin32Layer::SetCapture(HWND window) { return state_->capture.Set(window); }

BOOL QtWin32Layer::ReleaseCapture() {
    state_->capture.Release();
    return TRUE;
}

void QtWin32Layer::SetScreenCursor(int cursor) { state_->cursor.Set(cursor); }

int QtWin32Layer::ScreenCursor() { return state_->cursor.Get(); }

void QtWin32Layer::QuitNow(int code) { qtlayer::QuitAtOnce(code); }

bool QtWin32Layer::ExecuteOpenDialog(QFileDialog *dialog, std::string *path) {
    return qtlayer::RunOpenDialog(dialog, path);
}
