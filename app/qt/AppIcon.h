#pragma once
// Icon 128 of the program: 32 x 32 and 16 x 16, and 64 x 64 for screens of
// twice the pixel density.
#include <QIcon>

namespace vlmqt {
QIcon AppIcon();
}
