#pragma once
// The program entry's work inside an existing application object.

#include <QApplication>

#include "app/qt/QtMainWindow.h"

// Names the application "USB_TorvikLoader" with its icon, gives the window's
// link the toolkit's wait between the turns of the core's waits (unless
// services.link has one), creates Form1, shows it
// and runs the message loop until the application terminates. An error while
// the window is created (no memory for the card image) is shown through
// services.showError and the window never appears; a wrong-typed setting is
// shown the same way and the window then starts with that value's default.
// Returns 0 in every case; Form1 is null again afterwards.
int RunApplication(QApplication& app, QtWindowServices services = QtWindowServices::Defaults());
