// The icon theme's files that quorvel-icons writes are the window's icon: the
// PNGs at multiples of 32 repeat its pixels exactly, every size is there at its
// size, and the SVG's squares paint the very same 32 x 32 picture.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QFile>

#include "app/Icons.h"

namespace {

struct IconFiles : ::testing::Test {
    QTemporaryDir dir;
    QImage icon = QuorvelIconImage();

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QProcess tool;
        tool.start(QStringLiteral(QUORVEL_ICONS), {dir.path(), QStringLiteral("test.Icon")});
        ASSERT_TRUE(tool.waitForFinished(60000));
        ASSERT_EQ(tool.exitStatus(), QProcess::NormalExit);
        ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    }
    QImage Png(int size) const {
        return QImage(QStringLiteral("%1/%2x%2/apps/test.Icon.png").arg(dir.path()).arg(size))
            .convertToFormat(QImage::Format_ARGB32);
    }
};

TEST_F(IconFiles, PngsAreTheWindowIconAtEverySize) {
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QImage png = Png(size);
        ASSERT_FALSE(png.isNull()) << size;
        EXPECT_EQ(png.size(), QSize(size, size)) << size;
    }
    for (int size : {32, 64, 128, 256}) {
        const QImage png = Png(size);
        const int scale = size / 32;
        int differing = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                if (png.pixel(x, y) != icon.pixel(x / scale, y / scale)) ++differing;
        EXPECT_EQ(differing, 0) << size;
    }
}

TEST_F(IconFiles, SvgPaintsTheWindowIcon) {
    QFile file(dir.path() + QStringLiteral("/scalable/apps/test.Icon.svg"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader svg(&file);
    QImage painted(32, 32, QImage::Format_ARGB32);
    painted.fill(Qt::transparent);
    QPainter p(&painted);
    int squares = 0;
    while (!svg.atEnd()) {
        if (svg.readNext() != QXmlStreamReader::StartElement) continue;
        const auto a = svg.attributes();
        if (svg.name() == QLatin1String("svg")) {
            EXPECT_EQ(a.value(QLatin1String("viewBox")), QLatin1String("0 0 32 32"));
        } else if (svg.name() == QLatin1String("rect")) {
            ++squares;
            p.fillRect(a.value(QLatin1String("x")).toInt(), a.value(QLatin1String("y")).toInt(),
                       a.value(QLatin1String("width")).toInt(), a.value(QLatin1String("height")).toInt(),
                       QColor(a.value(QLatin1String("fill")).toString()));
        } else {
            ADD_FAILURE() << "unexpected element " << svg.name().toString().toStdString();
        }
    }
    p.end();
    ASSERT_FALSE(svg.hasError()) << svg.errorString().toStdString();
    EXPECT_GT(squares, 0);
    EXPECT_EQ(painted, icon);
}

}  // namespace
