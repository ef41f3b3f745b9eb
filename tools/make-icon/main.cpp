// make-icon OUT.png: saves the 64 x 64 window icon.
#include "ui/Artwork.h"

#include <QGuiApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-icon OUT.png\n");
        return 2;
    }
    // A build machine has no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QImage icon = MakeWindowIconImage();
    if (icon.size() != QSize(64, 64)) {
        std::fprintf(stderr, "make-icon: icon is %dx%d, expected 64x64\n", icon.width(), icon.height());
        return 1;
    }
    if (!icon.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "make-icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
