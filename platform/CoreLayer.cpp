// The layer a program without a window system runs on unless a test installed
// another: everything but windows, boxes, cursor and capture, so that the
// program starts without loading any windowing library.
#include "platform/win32_core.h"

Win32Layer &DefaultWin32Layer() {
    static CoreWin32Layer layer;
    return layer;
}
