// Connects the runtime's message boxes, busy cursor and beep to Qt widgets.
#pragma once

#include <functional>

class QWidget;

namespace app {

// A box belongs to the modal dialog or the active window, else to the
// window mainWindow gives (the strip; none while it is not made yet).
void installGuiHooks(std::function<QWidget*()> mainWindow);

} // namespace app
