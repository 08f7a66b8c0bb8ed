// Ends the event loop on SIGTERM, SIGINT and SIGHUP, so that a desktop
// logout or Ctrl-C runs the same shutdown as closing the main window.
#pragma once

namespace rt {

// Needs a QCoreApplication; the signals then make it quit() its loop.
void installTerminationHandler();
// True once one of the signals has arrived; code that would start a new
// event loop (a dialog) checks it so the program can still end.
bool terminationRequested();

} // namespace rt
