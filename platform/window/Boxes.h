// Inside the platform layer: the modal message box and the file-open dialog,
// each shown on the user-interface thread whichever thread asks.
#pragma once

#include <string>

#include "platform/win32.h"

namespace qtlayer {

// MessageBoxA as win32.h describes it.
int ShowMessageBox(HWND owner, const char *text, const char *caption, UINT style);
// Runs `dialog` for one existing file; true with its full path, false on
// cancel.
bool RunOpenDialog(QFileDialog *dialog, std::string *path);

}  // namespace qtlayer
