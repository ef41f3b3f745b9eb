#pragma once
// The window icon and the logo, drawn by the program itself.
#include <QIcon>
#include <QPixmap>

QPixmap MakeLogoPixmap();  // 151 x 44
QIcon MakeWindowIcon();  // 64 x 64
QImage MakeWindowIconImage();
