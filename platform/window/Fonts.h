// The window fonts: the free "MS Sans Serif" and "Small Fonts" from the
// system's Wine fonts, which fontconfig refuses as bitmap fonts and the
// program therefore adds itself.
#pragma once

// Adds both fonts to the application's font database, once per process, with
// the application object already made. Returns whether both were added;
// false, silently, where they are not installed (the families then fall back
// to what the system offers).
bool LoadWindowFonts();
