// The font shared by the windows of this folder.
#pragma once

#include <QFont>
#include <QWidget>

namespace servers {

inline QFont dialogFont()
{
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(11);
    return f;
}

} // namespace servers
