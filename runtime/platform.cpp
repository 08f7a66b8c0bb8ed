#include "platform.h"

#include <QLocale>
#include <QRegularExpression>

#include <cstdio>

namespace rt {

namespace {
Platform* g_installed = nullptr;

Platform& systemPlatform()
{
    static Platform p;
    return p;
}
} // namespace

Platform& platform()
{
    return g_installed ? *g_installed : systemPlatform();
}

void setPlatform(Platform* p)
{
    g_installed = p;
}

QString formatDateTime(const QDateTime& when, const QLocale& locale)
{
    QString datePattern = locale.dateFormat(QLocale::ShortFormat);
    // Some locales write a two-digit year in their short form; the log keeps four.
    static const QRegularExpression shortYear(QStringLiteral("(?<!y)y{1,2}(?!y)"));
    datePattern.replace(shortYear, QStringLiteral("yyyy"));
    return locale.toString(when.date(), datePattern) + QLatin1Char(' ')
        + when.time().toString(QStringLiteral("HH:mm:ss"));
}

QString Platform::dateTimeText(const QDateTime& when) const
{
    return formatDateTime(when, QLocale::system());
}

void Platform::messageBox(const QString& caption, const QString& text, MsgIcon icon)
{
    if (m_hooks.messageBox) {
        m_hooks.messageBox(caption, text, icon);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(), text.toLocal8Bit().constData());
}

bool Platform::question(const QString& caption, const QString& text)
{
    return m_hooks.question && m_hooks.question(caption, text);
}

void Platform::setBusyCursor(bool busy)
{
    if (m_hooks.busyCursor)
        m_hooks.busyCursor(busy);
}

void Platform::beep()
{
    if (m_hooks.beep)
        m_hooks.beep();
}

} // namespace rt
