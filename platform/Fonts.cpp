// The window fonts from the system's font files, once per process.
#include "platform/Fonts.h"
#include <QFontDatabase>
bool LoadWindowFonts() {
    static bool loaded = false;
    static bool ok = false;
    if (loaded) return ok;
    loaded = true;
    const bool sans = QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/wine/fonts/ms_sans_serif.ttf")) >= 0;
    const bool small =
 QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/wine/fonts/small_fonts.ttf")) >= 0;
    ok = sans && small;
    return ok;
}
