// Writes the program icon as PNG files at the desktop sizes, a multi-size
// Windows icon (USB_TorvikLoader.ico, PNG entries) and the logo, into the
// folder given as the only argument.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/qt/Artwork.h"

namespace {

void PutLe16(QByteArray& out, uint16_t v)
{
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>(v >> 8));
}

void PutLe32(QByteArray& out, uint32_t v)
{
    PutLe16(out, static_cast<uint16_t>(v & 0xFFFF));
    PutLe16(out, static_cast<uint16_t>(v >> 16));
}

// An .ico file: a directory of entries, each holding a PNG picture.
QByteArray IcoFile(const std::vector<int>& sizes)
{
    std::vector<QByteArray> pictures;
    for (int size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        DrawIcon(size).save(&buffer, "PNG");
        pictures.push_back(png);
    }
    QByteArray out;
    PutLe16(out, 0);  // reserved
    PutLe16(out, 1);  // icon
    PutLe16(out, static_cast<uint16_t>(sizes.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        const int size = sizes[i];
        out.append(static_cast<char>(size >= 256 ? 0 : size));  // width, 0 = 256
        out.append(static_cast<char>(size >= 256 ? 0 : size));  // height
        out.append('\0');                                      // palette colours
        out.append('\0');                                      // reserved
        PutLe16(out, 1);                                       // planes
        PutLe16(out, 32);                                      // bits per pixel
        PutLe32(out, static_cast<uint32_t>(pictures[i].size()));
        PutLe32(out, offset);
        offset += static_cast<uint32_t>(pictures[i].size());
    }
    for (const QByteArray& p : pictures) out.append(p);
    return out;
}

}  // namespace

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
    QFile ico(folder + "/USB_TorvikLoader.ico");
    ok = ico.open(QIODevice::WriteOnly) && ico.write(IcoFile({16, 24, 32, 48, 64, 256})) > 0 && ok;
    ico.close();
    ok = DrawLogo().save(folder + "/logo.png") && ok;
    if (!ok) std::fprintf(stderr, "some files could not be written\n");
    return ok ? 0 : 1;
}
