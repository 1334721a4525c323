// Did it take? At start, once the window is shown, each flash recorded as
// accepted and not yet checked is checked against the drives of the list
// (JudgeFlash, record/FlashHistory.h), and each flash that ended without its
// front end is told once.
#pragma once

// True the first time it is asked in a run: the check comes once.
bool AfterRestartCheckDue();
// The check, with a box for each flash it can decide, and the record told;
// then a box for each flash that ended without its front end and that the
// check did not decide, told once.
void CheckFlashesAfterRestart();
