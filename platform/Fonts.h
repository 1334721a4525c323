// The window fonts from the system's font files, once per process.
#pragma once
bool LoadWindowFonts();
