#pragma once
#include <QIcon>

namespace corvale {

// The application icon in all its sizes (16, 24, 32, 48 and 256 pixels).
QIcon applicationIcon();

}  // namespace corvale
