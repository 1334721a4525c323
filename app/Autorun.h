// Autorun: an image loaded at start and offered once at the first paint.
#pragma once

// First step of start-up: AUTORUN.BIN in the working directory, or the name on
// the command line, sets AutorunFlag and ImagePath.
void DetectAutorun();
// After drive discovery: loads, size-checks and matches the autorun image, or
// empties ImagePath when autorun is off.
void LoadAutorunImage();
// At every paint: true the one time the start prompt is due (autorun image
// loaded, prompt not shown yet), with PromptShown set at once, so that the
// paints that follow find it shown.
bool StartPromptDue();
// The start prompt: the image's figures and " DOWNLOAD START !!" with OK and
// Cancel; true when the user chose OK.
bool AskToStartDownload();
