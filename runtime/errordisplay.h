// The program's top-level error display: every error that a window handler
// lets through ends here, is shown in a message box, and the program goes on.
#pragma once

#include <QString>
#include <exception>
#include <functional>

namespace rt {

// The error's text with a full stop added when it ends in a character
// above "." (so "Connection refused" gets one, "Feil!" does not).
QString errorDisplayText(const QString& text);

// The title of the program's boxes (errors, questions, notices): the program
// file's name without its extension, with a capital first letter, as the
// program is called ("Brevglimt").
QString applicationTitle();

// Shows the error box: error icon, applicationTitle() as its title.
void showError(const QString& text);

// Runs an event handler; an error it raises is shown and goes no further.
void runHandler(const std::function<void()>& handler);

} // namespace rt
