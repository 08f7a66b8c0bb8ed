// Program entry: the runtime's start-up, the windows, the event loop, the
// shutdown.
#include "certtrust.h"
#include "desktopglue.h"
#include "errordisplay.h"
#include "guihooks.h"
#include "log.h"
#include "platform.h"
#include "qttranslations.h"
#include "singleinstance.h"
#include "startup.h"
#include "stripwindow.h"
#include "systemkeyring.h"
#include "termination.h"
#include "windowowner.h"
#include "windowplace.h"
#include "xmlinterface.h"

#include <QApplication>
#include <optional>

namespace {

// A Wayland client can neither place itself in the corner nor stay on top,
// so the strip runs through XWayland when the session has it.
void preferXWayland()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
}

} // namespace

int main(int argc, char* argv[])
{
    // The switches are read from the arguments as given, before Qt looks at them.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    rt::protectUserData();
    rt::returnLargeBlocksAtOnce();
    preferXWayland();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brevglimt"));
    QApplication::setWindowIcon(gui::programIcon());
    app::installQtTranslations();
    // Only closing the strip ends the program, not the last dialog closing
    // while the strip is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    // Made once the runtime has started; boxes before that belong to no window.
    std::optional<app::WindowOwner> windows;
    app::installGuiHooks([&windows]() -> QWidget* { return windows ? &windows->strip() : nullptr; });
    rt::installTerminationHandler();

    // One copy per user: a second start shows the running copy's strip
    // (also after "Skjul") and ends before it touches the log or settings.
    QString noGuard;
    desktop::SingleInstance instance(desktop::instanceSocketPath(
        desktop::instanceUser(args, rt::platform().loginUser()), rt::platform().appDataRoot(), &noGuard));
    if (instance.askRunningCopyToShow())
        return 0;
    if (!instance.listen() && noGuard.isEmpty())
        noGuard = QStringLiteral("kan ikke lytte på %1").arg(instance.socketPath());

    rt::runtimeStart(args);
    // Two copies would share the settings and the list cache; the user
    // should know when nothing keeps a second one from starting.
    if (!noGuard.isEmpty())
        rt::writeLog(QStringLiteral("ADVARSEL: kan ikke hindre at programmet kjører i flere kopier samtidig: ") + noGuard);
    xmlapi::installLogHook();
    net::loadTrustedCertificates();
    // The mail passwords live in the desktop's keyring where there is one;
    // passwords still in the settings file move there once the strip shows.
    keyring::SystemKeyring keyringStore;
    keyring::setStore(&keyringStore);

    windows.emplace();
    app::StripWindow& strip = windows->strip();
    // Notifications for new mail, and a check soon after a wake-up.
    new app::DesktopGlue(&strip, QDBusConnection::sessionBus(), QDBusConnection::systemBus());
    QObject::connect(&instance, &desktop::SingleInstance::showRequested, &strip,
                     [&strip] { rt::runHandler([&strip] { strip.showStrip(); }); });
    app::showAtStart(strip);
    // A signal that came while the first check ran has already asked the
    // loop to end before it started.
    const int code = rt::terminationRequested() ? 0 : QApplication::exec();

    windows.reset();
    keyring::setStore(nullptr);
    rt::runtimeStop();
    return code;
}
