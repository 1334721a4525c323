// The window's flash: one at a time, from Download until the next. Download
// checks and seals the loaded image and prepares the flash to the selected
// drive (flash/Flash.h); the window is its front end and shows each of its
// states: the commands it allows, "WAIT..", the hourglass, the bar's timer,
// the result box, and the restart's answer.
#pragma once

#include "flash/FlashState.h"

// Download (Down, the menu's Download, OK on the start prompt). A drive
// busy with a flash of this user's (another window's, quorvel-flash's) is
// not refused: the window follows that flash, as below.
void StartDownload();
// At start, once the drives are listed: a flash of this user's under way on
// a listed drive (one whose starter is gone first, then the first in the
// list) is followed as if the window had started it: its drive selected, the
// five fields from its record ("WAIT.."), the bar at its blocks, then the
// same result box. Its end is this window's to record, with its restart when
// its starter wanted one, only once the window adopted it (its starter gone);
// otherwise the window only shows it. No image is loaded, no prompt shown.
void FollowFlashUnderWay();
// One tick of Timer1: the bar moves by elapsed time; once the user has
// closed the result box (the flash awaits its restart), the timer stops and
// the system restart is asked for.
void ProgressTick();

// The state of the window's flash; Idle when there is none.
FlashState CurrentFlashState();
// What it allows now.
FlashAllows FlashAllowsNow();
// A request to end the program (a signal). True when the flash takes it: the
// drive is being written, and the program ends once it has answered (the
// result then goes to standard error and no restart is requested). False:
// the caller ends the program as Exit does; standard error has been told
// where the flash stood.
bool FlashTakesEndRequest();
// The program ends by Exit or the close box (only where the flash allows
// it): standard error says where the restart stood.
void FlashEndsWithProgram();
// The program's end, when its message loop is over: the flash's process is
// told that the drive may go, or, while the drive is still written, left to
// finish the flash alone. Nothing is waited for.
void FinishFlashAtProgramEnd();
