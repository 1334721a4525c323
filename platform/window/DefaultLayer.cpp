// The layer the window's program runs on unless a test installed another: the
// window's (win32_qt.h). A program without a window system links
// platform/CoreLayer.cpp instead.
#include "platform/window/win32_qt.h"

Win32Layer &DefaultWin32Layer() {
    static QtWin32Layer layer;
    return layer;
}
