#pragma once
// Icon 128 of the program: 32 x 32 and 16 x 16.
#include <QIcon>

namespace vlmqt {
QIcon AppIcon();
}
