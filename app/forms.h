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

// The start: the strip shows (and runs its show sequence) first; the
// passwords still in the settings file move to the keyring, which may ask
// the user to create or unlock a keyring, only after, from the event loop
// and never while the start-up check waits for the server.
void showAtStart(TBrevglimtForm& strip);
} // namespace app
