#pragma once
// The program's own pictures, drawn in code: the maker's logo shown by Image1
// and the program icon (a blue card with a gold chip and an arrow writing to
// it).

#include <QIcon>
#include <QImage>
#include <QPixmap>

constexpr int kLogoWidth = 204;
constexpr int kLogoHeight = 89;

// The logo, 204 x 89 pixels.
QPixmap DrawLogo();
// The icon at size x size pixels, transparent around the card.
QImage DrawIcon(int size);
// The icon at the sizes desktops ask for.
QIcon AppIcon();
