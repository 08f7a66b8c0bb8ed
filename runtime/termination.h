// Ends the event loop on SIGTERM, SIGINT and SIGHUP, so that a desktop
// logout or Ctrl-C runs the same shutdown as closing the main window, and
// cancels a network step that is waiting for a server.
#pragma once

namespace rt {

// Needs a QCoreApplication; the signals then make it quit() its loop.
void installTerminationHandler();
// True once one of the signals has arrived; code that would start a new
// event loop (a dialog) checks it so the program can still end.
bool terminationRequested();

// The cancel flag of network steps: once set, a step that waits for a server
// ends at once with an error, so shutdown never waits for a slow server.
// The signals above set it; shutdown sets it through requestCancel().
// Safe from any thread and from a signal handler.
void requestCancel();
bool cancelRequested();
// Lowers the flag again (tests, and a step that should run after all).
void clearCancel();

} // namespace rt
