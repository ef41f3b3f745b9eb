#include "ui/Artwork.h"

#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QImage MakeWindowIconImage()
{
    QImage img(64, 64, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    // A display on a stand, with a signal arc: video over the network.
    QLinearGradient g(0, 0, 0, 64);
    g.setColorAt(0, QColor(0x1f, 0x6f, 0xb5));
    g.setColorAt(1, QColor(0x0b, 0x3d, 0x6b));
    p.setBrush(g);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(4, 8, 56, 38), 5, 5);
    p.setBrush(QColor(0xe8, 0xf2, 0xfb));
    p.drawRect(QRectF(9, 13, 46, 28));
    p.setBrush(QColor(0x0b, 0x3d, 0x6b));
    p.drawRect(QRectF(28, 46, 8, 8));
    p.drawRoundedRect(QRectF(18, 54, 28, 5), 2, 2);
    QPen arc(QColor(0xf0, 0x8a, 0x24), 3.5, Qt::SolidLine, Qt::RoundCap);
    p.setPen(arc);
    p.setBrush(Qt::NoBrush);
    for (int r = 6; r <= 18; r += 6)
        p.drawArc(QRectF(32 - r, 34 - r, 2 * r, 2 * r), 45 * 16, 90 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf0, 0x8a, 0x24));
    p.drawEllipse(QPointF(32, 34), 3, 3);
    return img;
}

QIcon MakeWindowIcon() { return QIcon(QPixmap::fromImage(MakeWindowIconImage())); }

QPixmap MakeLogoPixmap()
{
    QImage img(151, 44, QImage::Format_RGB888);
    img.fill(QColor(0xf4, 0xf6, 0xf9));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawImage(QRectF(4, 4, 36, 36), MakeWindowIconImage());
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(20);
    f.setBold(true);
    p.setFont(f);
    p.setPen(QColor(0x0b, 0x3d, 0x6b));
    p.drawText(QRectF(44, 2, 106, 28), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Cortavia"));
    QFont s(QStringLiteral("DejaVu Sans"));
    s.setPixelSize(9);
    p.setFont(s);
    p.setPen(QColor(0x50, 0x5a, 0x66));
    p.drawText(QRectF(45, 27, 106, 14), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("HDMI over IP control"));
    return QPixmap::fromImage(img);
}
