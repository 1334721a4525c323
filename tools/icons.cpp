// quorvel-icons: writes the program's icon for the desktop's icon theme from
// the very drawing the window shows (QuorvelIconImage), so there is one icon:
//   quorvel-icons OUTPUT_DIR NAME
// gives OUTPUT_DIR/scalable/apps/NAME.svg (one square per pixel of the 32 x 32
// drawing, joined along each row) and OUTPUT_DIR/SxS/apps/NAME.png for the
// sizes below. Sizes that are multiples of 32 repeat every pixel, so they stay
// the same 16-colour picture; the others are smoothed.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <cstdio>

#include "app/Icons.h"

namespace {
constexpr int kSizes[] = {16, 24, 32, 48, 64, 128, 256};

QImage Scaled(const QImage &icon, int size) {
    if (size % icon.width() == 0) return icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    // Repeat the pixels up to a multiple first, then smooth down, so that no
    // pixel of the drawing is dropped or doubled on one side only.
    const int up = icon.width() * ((size + icon.width() - 1) / icon.width() + 1);
    return icon.scaled(up, up, Qt::IgnoreAspectRatio, Qt::FastTransformation)
        .scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QString Svg(const QImage &icon) {
    QString svg = QStringLiteral(
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" "
                      "shape-rendering=\"crispEdges\">\n")
                      .arg(icon.width())
                      .arg(icon.height());
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width();) {
            const QRgb colour = icon.pixel(x, y);
            int run = 1;
            while (x + run < icon.width() && icon.pixel(x + run, y) == colour) ++run;
            if (qAlpha(colour) != 0)
                svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"1\" fill=\"#%4\"/>\n")
                           .arg(x)
                           .arg(y)
                           .arg(run)
                           .arg(colour & 0xFFFFFF, 6, 16, QLatin1Char('0'));
            x += run;
        }
    }
    return svg + QStringLiteral("</svg>\n");
}

bool Write(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR NAME\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QImage icon = QuorvelIconImage();
    bool ok = Write(QStringLiteral("%1/scalable/apps/%2.svg").arg(out, name), Svg(icon).toUtf8());
    for (int size : kSizes) {
        const QString path = QStringLiteral("%1/%2x%2/apps/%3.png").arg(out).arg(size).arg(name);
        QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
        ok = Scaled(icon, size).save(path, "PNG") && ok;
    }
    if (!ok) {
        std::fprintf(stderr, "%s: could not write the icons into %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
