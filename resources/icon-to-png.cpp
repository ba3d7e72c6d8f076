// Build tool: writes the drawn icon as the PNG that the user's icon theme
// takes (the theme has no place for XPM pictures at fixed sizes), and as a
// header of its pixels, which the program compiles in, so that it does not
// decode the picture each time it starts.
// Usage: icon-to-png picture.xpm picture.png pixels.h
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <cstdio>

namespace {

// The pixels as QImage::Format_ARGB32 words, row by row, named `name`.
QByteArray pixelsHeader(const QImage &picture, const char *source, const QByteArray &name)
{
    QByteArray text
        = "// Made by icon-to-png from " + QFileInfo(QString::fromLocal8Bit(source)).fileName().toLocal8Bit()
        + ": its pixels, " + QByteArray::number(picture.width()) + " x " + QByteArray::number(picture.height())
        + ", as QImage::Format_ARGB32 words, row by row.\n" + "static const int " + name
        + "_width = " + QByteArray::number(picture.width()) + ";\n" + "static const int " + name + "_height = "
        + QByteArray::number(picture.height()) + ";\n" + "static const unsigned int " + name + "[] = {\n";
    for (int y = 0; y < picture.height(); ++y) {
        text += "   ";
        for (int x = 0; x < picture.width(); ++x)
            text += " 0x" + QByteArray::number(picture.pixel(x, y), 16).rightJustified(8, '0') + ",";
        text += "\n";
    }
    return text + "};\n";
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s picture.xpm picture.png pixels.h\n", argv[0]);
        return 2;
    }
    const QImage picture = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_ARGB32);
    QFile header(QString::fromLocal8Bit(argv[3]));
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[2]), "PNG")
        || !header.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || header.write(pixelsHeader(picture, argv[1], "drawn_icon")) < 0 || !header.flush()) {
        std::fprintf(stderr, "%s: cannot convert %s to %s and %s\n", argv[0], argv[1], argv[2], argv[3]);
        return 1;
    }
    return 0;
}
