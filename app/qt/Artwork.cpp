#include "app/qt/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kCardDark(0x1B, 0x3F, 0x73);
const QColor kCardLight(0x3A, 0x7B, 0xC8);
const QColor kChipGold(0xE2, 0xB6, 0x3C);
const QColor kChipLine(0x9A, 0x74, 0x14);
const QColor kArrowGreen(0x2E, 0xB8, 0x4B);
const QColor kNavy(0x12, 0x2B, 0x55);

// The icon's drawing on a 100 x 100 grid.
void PaintIcon(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);

    // The card.
    QLinearGradient body(0, 22, 0, 88);
    body.setColorAt(0, kCardLight);
    body.setColorAt(1, kCardDark);
    p.setPen(QPen(kCardDark.darker(130), 2));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(6, 30, 88, 58), 8, 8);

    // The chip with its contact fields.
    p.setPen(QPen(kChipLine, 1.5));
    p.setBrush(kChipGold);
    const QRectF chip(16, 46, 26, 22);
    p.drawRoundedRect(chip, 4, 4);
    p.drawLine(QPointF(chip.left(), chip.center().y()), QPointF(chip.right(), chip.center().y()));
    p.drawLine(QPointF(chip.center().x(), chip.top()), QPointF(chip.center().x(), chip.bottom()));
    p.drawLine(QPointF(chip.left() + 8, chip.top()), QPointF(chip.left() + 8, chip.bottom()));
    p.drawLine(QPointF(chip.right() - 8, chip.top()), QPointF(chip.right() - 8, chip.bottom()));

    // The stripe of written data.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 150));
    for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(52 + i * 9, 74, 6, 5), 1.5, 1.5);

    // The arrow writing into the card.
    QPainterPath arrow;
    arrow.moveTo(62, 4);
    arrow.lineTo(78, 4);
    arrow.lineTo(78, 34);
    arrow.lineTo(90, 34);
    arrow.lineTo(70, 62);
    arrow.lineTo(50, 34);
    arrow.lineTo(62, 34);
    arrow.closeSubpath();
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(kArrowGreen);
    p.drawPath(arrow);
}

}  // namespace

QImage DrawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.scale(size / 100.0, size / 100.0);
    PaintIcon(p);
    return image;
}

QIcon AppIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(QPixmap::fromImage(DrawIcon(size)));
    return icon;
}

QPixmap DrawLogo()
{
    QImage image(kLogoWidth, kLogoHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // A soft panel behind the mark and the name.
    QLinearGradient panel(0, 0, 0, kLogoHeight);
    panel.setColorAt(0, QColor(0xF7, 0xF9, 0xFC));
    panel.setColorAt(1, QColor(0xDD, 0xE6, 0xF2));
    p.setPen(QPen(QColor(0xB5, 0xC4, 0xDA), 1));
    p.setBrush(panel);
    p.drawRoundedRect(QRectF(0.5, 0.5, kLogoWidth - 1, kLogoHeight - 1), 10, 10);

    p.drawImage(QPointF(4, 6), DrawIcon(76));

    QFont name;
    name.setStyleHint(QFont::SansSerif);
    name.setFamily("DejaVu Sans");
    name.setPixelSize(27);
    name.setBold(true);
    p.setFont(name);
    p.setPen(kNavy);
    p.drawText(QRectF(84, 14, 116, 34), Qt::AlignLeft | Qt::AlignVCenter, "Velmar");

    p.setPen(QPen(kChipGold, 2));
    p.drawLine(QPointF(86, 52), QPointF(196, 52));

    QFont sub = name;
    sub.setPixelSize(11);
    sub.setBold(false);
    sub.setLetterSpacing(QFont::AbsoluteSpacing, 2.2);
    p.setFont(sub);
    p.setPen(QColor(0x4A, 0x5A, 0x70));
    p.drawText(QRectF(86, 56, 116, 18), Qt::AlignLeft | Qt::AlignVCenter, "SOFTWARE");
    p.end();
    return QPixmap::fromImage(image);
}
