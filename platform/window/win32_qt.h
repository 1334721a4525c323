// The real layer of a program with windows: Qt 6 for windows, boxes, cursor
// and capture, over the layer without a window system (win32_core.h) for
// everything else.
#pragma once

#include "platform/win32_core.h"

class QtWin32Layer : public CoreWin32Layer {
public:
    QtWin32Layer();
    ~QtWin32Layer() override;

    int MessageBox(HWND owner, const char *text, const char *caption, UINT style) override;
    void PostQuitMessage(int code) override;
    HWND SetCapture(HWND window) override;
    BOOL ReleaseCapture() override;
    void SetScreenCursor(int cursor) override;
    int ScreenCursor() override;
    void QuitNow(int code) override;
    bool ExecuteOpenDialog(QFileDialog *dialog, std::string *path) override;

private:
    // What the layer keeps (capture filter, cursor) is defined with its
    // concern (Capture.h); State in win32_qt.cpp holds one of each.
    struct State;
    State *state_;
};
