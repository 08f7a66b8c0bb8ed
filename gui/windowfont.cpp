#include "windowfont.h"

namespace gui {

QFont windowFont(int pixels, bool bold, const char* family)
{
    QFont f(QString::fromLatin1(family));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

} // namespace gui
