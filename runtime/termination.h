// Ends the event loop on SIGTERM, SIGINT and SIGHUP, so that a desktop
// logout or Ctrl-C runs the same shutdown as closing the main window.
#pragma once

namespace rt {

// Needs a QCoreApplication; the signals then make it quit() its loop.
void installTerminationHandler();

} // namespace rt
