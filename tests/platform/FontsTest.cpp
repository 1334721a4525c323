// The window fonts: added from the system's Wine fonts where they are
// installed, so that the windows get the families they name.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>

#include "platform/window/Fonts.h"

TEST(WindowFonts, BothFamiliesAreThereOnceLoaded) {
    const bool installed = QFileInfo("/usr/share/wine/fonts/ms_sans_serif.ttf").isFile() &&
                           QFileInfo("/usr/share/wine/fonts/small_fonts.ttf").isFile();
    ASSERT_EQ(LoadWindowFonts(), installed);
    // Once per process: a second call adds nothing and tells the same.
    EXPECT_EQ(LoadWindowFonts(), installed);
    if (!installed) GTEST_SKIP() << "the system's Wine fonts are not installed";

    const QStringList families = QFontDatabase::families();
    EXPECT_TRUE(families.contains("MS Sans Serif"));
    EXPECT_TRUE(families.contains("Small Fonts"));
    QFont sansSerif("MS Sans Serif");
    sansSerif.setPixelSize(12);
    EXPECT_EQ(QFontInfo(sansSerif).family(), "MS Sans Serif");
}
