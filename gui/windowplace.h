// Where the program's windows open: over the window that opened them and
// wholly inside the screen's available area, so none lands under the
// always-on-top strip or with its title bar off screen.
#pragma once

#include <QIcon>
#include <QRect>

class QWidget;

namespace gui {

// box moved the least distance that brings it inside area; a box larger
// than the area keeps its top-left corner inside.
QRect keepInside(QRect box, const QRect& area);

// Centres window over owner (over the screen without one) and keeps it
// wholly on that screen's available area. Called before the window is
// mapped, its frame is not known yet: the window's own size counts.
void placeOver(QWidget* window, const QWidget* owner);

// The window a box or dialog opened now belongs to: the modal dialog or the
// active window when there is one, else fallback.
QWidget* currentOwner(QWidget* fallback);

// Asks the window manager to show window on every workspace, and keeps
// it there while it is shown; on an X server only. Called while the window
// is hidden, before each show(): it sets the hint read when the window is
// mapped, and sends the requests window managers honour for a mapped
// window once the window is mapped and whenever the manager takes it off
// the other workspaces.
void showOnAllWorkspaces(QWidget* window);

// Takes back the "demands attention" mark the window manager sets on window
// when it refuses to activate it: KWin and GNOME's compositor do so when a
// window that asks not to take the keyboard is mapped, KWin also when it
// raises itself while another program is in use, and task bars then show
// the window as waiting for the user until it is clicked. For a window
// always in view that mark only misleads. Asked once per mark, so a manager
// that keeps it is not asked without end; on an X server only. Called before
// the window is first shown; calling it again changes nothing.
void keepFromDemandingAttention(QWidget* window);

// The program's icon (compiled into the program).
QIcon programIcon();

} // namespace gui
