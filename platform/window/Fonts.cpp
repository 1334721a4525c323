// The window fonts; see Fonts.h.
#include "platform/window/Fonts.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QString>

namespace {

bool AddFont(const QString &path) {
    // Looked at first, so that a missing font is not reported by the toolkit.
    return QFileInfo(path).isFile() && QFontDatabase::addApplicationFont(path) != -1;
}

}  // namespace

bool LoadWindowFonts() {
    // The font database belongs to the graphical application: before it is
    // made there is nowhere to add the fonts to, and nothing is kept.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()) == nullptr) return false;
    static const bool loaded = [] {
        const bool sansSerif = AddFont(QStringLiteral("/usr/share/wine/fonts/ms_sans_serif.ttf"));
        const bool small = AddFont(QStringLiteral("/usr/share/wine/fonts/small_fonts.ttf"));
        return sansSerif && small;
    }();
    return loaded;
}
