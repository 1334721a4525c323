// Autorun: an image loaded at start and offered once at the first paint.
#pragma once

// First step of start-up: AUTORUN.BIN in the working directory, or the name on
// the command line, sets AutorunFlag and ImagePath.
void DetectAutorun();
// After drive discovery: loads, size-checks and matches the autorun image, or
// empties ImagePath when autorun is off.
void LoadAutorunImage();
