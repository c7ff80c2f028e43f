#pragma once
// Colours of the core (BGR, 0x00BBGGRR; system colours with the top bit set)
// as the toolkit's colours.

#include <QColor>
#include <QPalette>

#include "programming/ProgramWindow.h"

// Red 0x0000FF is pure red on screen. The system button face (clBtnFace) is
// the palette's button colour; other system colours fall back to the window
// colour of `palette`.
QColor ToQColor(TColor color, const QPalette& palette);
