// The font the program's windows are drawn in.
#pragma once

#include <QFont>

namespace gui {

// A sans-serif face at a size in pixels, so that the windows' fixed layouts
// look the same at any screen resolution; family is the face asked for
// first, with the desktop's sans-serif face in its place where it is absent.
QFont windowFont(int pixels = 11, bool bold = false, const char* family = "MS Sans Serif");

} // namespace gui
