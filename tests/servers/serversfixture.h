// Each test gets its own application-data root, settings file and log, and
// the FTP transfer settings as at program start.
#pragma once

#include "fakeplatform.h"
#include "ftpsettings.h"
#include "log.h"
#include "serverprofile.h"
#include "settingsaccess.h"
#include "startup.h"
#include "state.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <gtest/gtest.h>
#include <map>
#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

inline void PrintTo(const QByteArray& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace servers {
// A result prints as the number its log lines give.
inline void PrintTo(FtpResult result, std::ostream* os)
{
    *os << errorNumber(result);
}
} // namespace servers

namespace testsupport {

// Parameter structs print as their name.
template <class T>
auto operator<<(std::ostream& os, const T& c) -> decltype(c.name, os)
{
    return os << c.name;
}

// The widget that Tab moves to from w.
inline QWidget* nextTabStop(QWidget* w)
{
    for (QWidget* next = w->nextInFocusChain(); next != w; next = next->nextInFocusChain()) {
        if ((next->focusPolicy() & Qt::TabFocus) && next->isEnabled())
            return next;
    }
    return nullptr;
}

class ServersFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        guard.fake.fixedTime = QStringLiteral("T");
        rt::startLog();
        rt::locateSettingsFile();
        rt::state().logToFile = true;
        rt::state().logLines.clear();
        servers::resetFtpSettings();
    }
    void TearDown() override { servers::resetFtpSettings(); }

    // The log lines written so far, without their time stamp.
    static QStringList logTexts()
    {
        QStringList out;
        for (const QString& line : rt::state().logLines)
            out.append(line.startsWith(QLatin1String("T ")) ? line.mid(2) : line);
        return out;
    }
    // The last of them; empty when nothing was logged.
    static QString lastLogText()
    {
        const QStringList texts = logTexts();
        return texts.isEmpty() ? QString() : texts.last();
    }

    static QString section(const QString& kind) { return servers::profileSection(kind); }

    static void writeProfile(const QString& kind, const std::map<QString, QString>& keys)
    {
        for (const auto& [key, value] : keys)
            rt::settingsFile().writeString(section(kind), key, value);
    }

    static QString stored(const QString& kind, const QString& key)
    {
        return rt::settingsFile().readString(section(kind), key);
    }

    static QByteArray readAll(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static void writeAll(const QString& path, const QByteArray& content)
    {
        QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(content), content.size());
    }

    // A folder of the test's own under the application-data root.
    QString folder(const QString& name) const
    {
        const QString path = guard.fake.root.path() + QLatin1Char('/') + name;
        QDir().mkpath(path);
        return path;
    }

    RuntimeFixtureGuard guard;
};

} // namespace testsupport
