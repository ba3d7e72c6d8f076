// Build tool: writes the drawn icon as the PNG that the user's icon theme
// takes (the theme has no place for XPM pictures at fixed sizes).
// Usage: icon-to-png picture.xpm picture.png
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s picture.xpm picture.png\n", argv[0]);
        return 2;
    }
    const QImage picture(QString::fromLocal8Bit(argv[1]));
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "%s: cannot convert %s to %s\n", argv[0], argv[1], argv[2]);
        return 1;
    }
    return 0;
}
