// What the benchmarks of the whole window share: a new strip reading the
// bench's settings, a timed check, outside programs timed, medians.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace app {
class StripWindow;
}

namespace benchstrip {

// A strip that has read the settings and is shown.
std::unique_ptr<app::StripWindow> newStrip();

// One check of the window: seconds, or nothing after an ERROR line (a
// failed check, or a list without expected lines).
std::optional<double> timeCheck(app::StripWindow& stripWindow, int expected);

// Seconds one run of an outside program took, or nothing after an ERROR
// line (it did not finish, or ended above maxExitCode).
std::optional<double> timeProgram(const QString& program, const QStringList& args, int maxExitCode = 0,
                                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// The system's Python: a wrapper found first on the path (pyenv's shims)
// can cost more start-up time than a whole listing.
QString systemPython();

// The median of repeats runs, or nothing once one of them failed.
std::optional<double> medianOf(int repeats, const std::function<std::optional<double>()>& run);

} // namespace benchstrip
