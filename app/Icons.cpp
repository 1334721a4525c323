#include "app/Icons.h"

#include <QPainter>
#include <QPolygon>
#include <QVector>

namespace {
// The 16 colours of the standard VGA palette.
constexpr QRgb kBlack = 0xFF000000, kMaroon = 0xFF800000, kGreen = 0xFF008000, kOlive = 0xFF808000,
               kNavy = 0xFF000080, kTeal = 0xFF008080, kGray = 0xFF808080,
               kSilver = 0xFFC0C0C0, kRed = 0xFFFF0000, kLime = 0xFF00FF00, kYellow = 0xFFFFFF00,
               kBlue = 0xFF0000FF, kAqua = 0xFF00FFFF, kWhite = 0xFFFFFFFF;

QImage Canvas(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// Every drawing is without smoothing, so no colour outside the palette appears.
void Prepare(QPainter &p) { p.setRenderHint(QPainter::Antialiasing, false); }

void Line(QPainter &p, QRgb c, int x1, int y1, int x2, int y2) {
    p.setPen(QColor::fromRgba(c));
    p.drawLine(x1, y1, x2, y2);
}

void Box(QPainter &p, QRgb fill, int x, int y, int w, int h) { p.fillRect(x, y, w, h, QColor::fromRgba(fill)); }

void Polygon(QPainter &p, QRgb fill, QRgb outline, const QPolygon &shape) {
    p.setBrush(QColor::fromRgba(fill));
    p.setPen(QColor::fromRgba(outline));
    p.drawPolygon(shape);
}

void Disc(QPainter &p, QRgb fill, QRgb outline, int cx, int cy, int r) {
    p.setBrush(QColor::fromRgba(fill));
    p.setPen(QColor::fromRgba(outline));
    p.drawEllipse(QPoint(cx, cy), r, r);
}

QPixmap OpenImage(bool hot) {
    QImage image = Canvas(16, 15);
    QPainter p(&image);
    Prepare(p);
    const QRgb body = hot ? kYellow : kOlive;
    const QRgb front = hot ? kWhite : kSilver;
    // Folder back with its tab, then the opened front leaf.
    Polygon(p, body, kBlack, QPolygon({QPoint(0, 3), QPoint(1, 2), QPoint(5, 2), QPoint(6, 3), QPoint(12, 3),
                                       QPoint(12, 13), QPoint(0, 13)}));
    // The image file, sticking out of the folder.
    Polygon(p, kWhite, kBlack, QPolygon({QPoint(6, 0), QPoint(13, 0), QPoint(13, 7), QPoint(6, 7)}));
    Line(p, hot ? kBlue : kNavy, 8, 2, 11, 2);
    Line(p, hot ? kBlue : kNavy, 8, 4, 11, 4);
    Polygon(p, front, kBlack, QPolygon({QPoint(3, 7), QPoint(15, 7), QPoint(12, 13), QPoint(0, 13)}));
    return QPixmap::fromImage(image);
}

QPixmap DownImage(bool hot) {
    QImage image = Canvas(16, 15);
    QPainter p(&image);
    Prepare(p);
    // A chip with its legs, and an arrow going down into it.
    Box(p, kBlack, 2, 10, 12, 4);
    for (int x = 3; x < 14; x += 2) Line(p, kSilver, x, 14, x, 14);
    Box(p, kGray, 3, 11, 10, 2);
    const QRgb arrow = hot ? kLime : kGreen;
    Polygon(p, arrow, kBlack, QPolygon({QPoint(6, 0), QPoint(9, 0), QPoint(9, 4), QPoint(12, 4), QPoint(7, 9),
                                        QPoint(3, 4), QPoint(6, 4)}));
    return QPixmap::fromImage(image);
}

QPixmap AboutImage(bool hot) {
    QImage image = Canvas(16, 15);
    QPainter p(&image);
    Prepare(p);
    // An "i" in a round sign.
    Disc(p, hot ? kBlue : kNavy, kBlack, 7, 7, 6);
    Box(p, kWhite, 6, 3, 3, 2);
    Box(p, kWhite, 6, 6, 3, 5);
    Box(p, kWhite, 5, 10, 5, 1);
    return QPixmap::fromImage(image);
}
}  // namespace

QImage QuorvelIconImage() {
    QImage image = Canvas(32, 32);
    QPainter p(&image);
    Prepare(p);
    // A disc with its label ring and hole...
    Disc(p, kSilver, kBlack, 13, 13, 12);
    Disc(p, kAqua, kGray, 13, 13, 8);
    Disc(p, kWhite, kTeal, 13, 13, 4);
    Disc(p, kSilver, kBlack, 13, 13, 1);
    Line(p, kWhite, 6, 6, 8, 4);
    // ...and the flash chip that the new firmware is written into.
    Box(p, kBlack, 17, 19, 13, 9);
    Box(p, kGray, 18, 20, 11, 7);
    for (int x = 18; x < 30; x += 2) {
        Line(p, kSilver, x, 17, x, 18);
        Line(p, kSilver, x, 28, x, 29);
    }
    // The download arrow, from disc to chip.
    Polygon(p, kRed, kMaroon, QPolygon({QPoint(20, 9), QPoint(26, 9), QPoint(26, 14), QPoint(29, 14),
                                        QPoint(23, 21), QPoint(17, 14), QPoint(20, 14)}));
    Line(p, kYellow, 21, 10, 21, 14);
    p.end();
    // Keep exactly the 16-colour palette (and the transparent background).
    QVector<QRgb> table = {kBlack, kMaroon, kGreen, kOlive, kNavy, 0xFF800080, kTeal, kSilver,
                           kGray, kRed, kLime, kYellow, kBlue, 0xFFFF00FF, kAqua, kWhite, 0x00000000};
    return image.convertToFormat(QImage::Format_Indexed8, table, Qt::ThresholdDither)
        .convertToFormat(QImage::Format_ARGB32);
}

QList<QPixmap> ToolbarImages(bool hot) { return {OpenImage(hot), DownImage(hot), AboutImage(hot)}; }
