#include "qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace app {

QList<QTranslator*> installQtTranslations()
{
    QList<QTranslator*> installed;
    // Installed last is asked first: Bokmål, then Nynorsk.
    const struct {
        QString file;
        QString folder;
    } files[] = {
        {QStringLiteral("qtbase_nn"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)},
        {QStringLiteral("qtbase_nb"), QStringLiteral(":/brevglimt/i18n")},
    };
    for (const auto& f : files) {
        auto* translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(f.file, f.folder) && QCoreApplication::installTranslator(translator)) {
            installed.append(translator);
        } else {
            delete translator;
        }
    }
    return installed;
}

} // namespace app
