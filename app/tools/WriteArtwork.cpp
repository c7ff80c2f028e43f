// Writes the program icon as PNG files at the desktop sizes, and the logo,
// into the folder given as the only argument. The Windows .ico is made from
// the PNG files (tools/make-icons.sh).

#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cstdio>

#include "app/Artwork.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    QGuiApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString name = QString("%1/usb-torvikloader-%2.png").arg(folder).arg(size);
        ok = DrawIcon(size).save(name) && ok;
    }
    ok = DrawLogo().save(folder + "/logo.png") && ok;
    if (!ok) std::fprintf(stderr, "some files could not be written\n");
    return ok ? 0 : 1;
}
