#include "app/qt/Colors.h"

QColor ToQColor(TColor color, const QPalette& palette)
{
    if (color & 0x80000000u) {
        if (color == clBtnFace) return palette.color(QPalette::Active, QPalette::Button);
        return palette.color(QPalette::Active, QPalette::Window);
    }
    const int red = static_cast<int>(color & 0xFF);
    const int green = static_cast<int>((color >> 8) & 0xFF);
    const int blue = static_cast<int>((color >> 16) & 0xFF);
    return QColor(red, green, blue);
}
