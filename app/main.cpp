// Program entry: the runtime's start-up, the event loop, the shutdown.
#include "guihooks.h"
#include "termination.h"
#include "xmldata.h"
#include "zt_reg.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    // The switches are read from the arguments as given, before Qt looks at them.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("brevglimt"));
    app::installGuiHooks();
    rt::installTerminationHandler();

    rt::runtimeStart(args);
    xmldata::initialize();

    // No window yet: the loop ends at once.
    QTimer::singleShot(0, &application, &QCoreApplication::quit);
    const int code = QApplication::exec();

    rt::runtimeStop();
    return code;
}
