// Font and placement shared by the windows of this folder.
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

// Centres a window over its owner; nothing without an owner.
inline void centreOver(QWidget* window, const QWidget* owner)
{
    if (!owner)
        return;
    const QRect frame = owner->frameGeometry();
    window->move(frame.center() - QPoint(window->width() / 2, window->height() / 2));
}

} // namespace servers
