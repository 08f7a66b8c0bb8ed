#include "benchstrip.h"

#include "benchmail.h"
#include "messagelist.h"
#include "stripwindow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <exception>
#include <vector>

namespace benchstrip {

std::unique_ptr<app::StripWindow> newStrip()
{
    auto stripWindow = std::make_unique<app::StripWindow>();
    stripWindow->readSettings();
    stripWindow->show();
    QCoreApplication::processEvents();
    return stripWindow;
}

std::optional<double> timeCheck(app::StripWindow& stripWindow, int expected)
{
    QElapsedTimer timer;
    timer.start();
    try {
        stripWindow.checkMailbox();
    } catch (const std::exception& e) {
        std::printf("ERROR: check failed: %s\n", e.what());
        return std::nullopt;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const int lines = int(stripWindow.listModel->lines().size());
    if (lines != expected) {
        std::printf("ERROR: %d messages expected in the list, %d lines there\n", expected, lines);
        return std::nullopt;
    }
    return seconds;
}

std::optional<double> timeProgram(const QString& program, const QStringList& args, int maxExitCode,
                                  const QProcessEnvironment& env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit) {
        std::printf("ERROR: %s did not finish\n", qPrintable(program));
        return std::nullopt;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (p.exitCode() > maxExitCode) {
        std::printf("ERROR: %s %s: %s\n", qPrintable(program), qPrintable(args.join(QLatin1Char(' '))),
                    p.readAllStandardError().constData());
        return std::nullopt;
    }
    return seconds;
}

QString systemPython()
{
    const QString system = QStringLiteral("/usr/bin/python3");
    return QFile::exists(system) ? system : QStringLiteral("python3");
}

std::optional<double> medianOf(int repeats, const std::function<std::optional<double>()>& run)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto t = run();
        if (!t)
            return std::nullopt;
        times.push_back(*t);
    }
    return benchmail::median(times);
}

} // namespace benchstrip
