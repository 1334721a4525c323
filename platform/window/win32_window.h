// The calls only a program with windows makes: boxes, capture and cursor, the
// command line as Windows gives it, the version query, the message loop's
// quit request, the file dialog. Defined in the window's library alone, so
// that a program without a window system (quorvel-flash, quorvel-transfer)
// cannot call them: its link would fail.
#pragma once

#include "platform/win32.h"

int MessageBoxA(HWND owner, const char *text, const char *caption, UINT style);
BOOL GetVersionExA(OSVERSIONINFOA *info);
void PostQuitMessage(int code);
const char *GetCommandLineA();
HWND SetCapture(HWND window);
BOOL ReleaseCapture();
void SetScreenCursor(int cursor);
int ScreenCursor();

// Sets the file-open dialog up to match its name filter in any letter case,
// as Windows does: Qt's own dialog, since a desktop's native one may not.
void PrepareOpenDialog(QFileDialog *dialog);
