// The download as the window shows it: Download checks and starts the flash
// (download/Flash.h), and the window's front end shows each of its states:
// the commands it allows, "WAIT..", the hourglass, the bar's timer, the
// result box, and the restart's refusal.
#pragma once

#include "download/Flash.h"

// Download (Down, the menu's Download, OK on the start prompt).
void StartDownload();

// The window's front end of a flash.
FlashFrontEnd &WindowFlashFrontEnd();
