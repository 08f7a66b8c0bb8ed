// The program's windows, one instance each, created at start-up in this
// order and kept until the program ends.
#pragma once

namespace app {
class TBrevglimtForm;
class TAboutBox;

extern TBrevglimtForm* BrevglimtForm;
extern TAboutBox* AboutBox;

// Creates the windows, hidden, the main window first, and connects them.
void createForms();
// Destroys them in reverse order.
void destroyForms();
} // namespace app
