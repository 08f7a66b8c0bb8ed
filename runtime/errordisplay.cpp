#include "errordisplay.h"

#include "platform.h"

#include <QFileInfo>

namespace rt {

QString errorDisplayText(const QString& text)
{
    if (!text.isEmpty() && text.back().unicode() > u'.')
        return text + QLatin1Char('.');
    return text;
}

QString applicationTitle()
{
    QString name = QFileInfo(rt::platform().programFile()).completeBaseName();
    if (!name.isEmpty())
        name[0] = name.at(0).toUpper();
    return name;
}

void showError(const QString& text)
{
    rt::platform().messageBox(applicationTitle(), errorDisplayText(text), rt::MsgIcon::Error);
}

void runHandler(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        showError(QString::fromUtf8(e.what()));
    } catch (...) {
        showError(QStringLiteral("Ukjent feil"));
    }
}

} // namespace rt
