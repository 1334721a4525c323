// The window's calls, forwarded to the installed layer; see win32_window.h.
#include "platform/window/win32_window.h"

int MessageBoxA(HWND owner, const char *text, const char *caption, UINT style) {
    return CurrentWin32Layer().MessageBox(owner, text, caption, style);
}
BOOL GetVersionExA(OSVERSIONINFOA *info) { return CurrentWin32Layer().GetVersionEx(info); }
void PostQuitMessage(int code) { CurrentWin32Layer().PostQuitMessage(code); }
const char *GetCommandLineA() { return CurrentWin32Layer().GetCommandLine(); }
HWND SetCapture(HWND window) { return CurrentWin32Layer().SetCapture(window); }
BOOL ReleaseCapture() { return CurrentWin32Layer().ReleaseCapture(); }
void SetScreenCursor(int cursor) { CurrentWin32Layer().SetScreenCursor(cursor); }
int ScreenCursor() { return CurrentWin32Layer().ScreenCursor(); }
