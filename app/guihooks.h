// Connects the runtime's message boxes, busy cursor and beep to Qt widgets.
#pragma once

namespace app {
void installGuiHooks();
}
