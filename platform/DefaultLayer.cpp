// The layer a program runs on unless a test installed another: the window's.
// Alone in its file, so that a program without a window system can define
// DefaultWin32Layer itself and never link this one (win32_core.h).
#include "platform/win32_qt.h"

Win32Layer &DefaultWin32Layer() {
    static QtWin32Layer layer;
    return layer;
}
