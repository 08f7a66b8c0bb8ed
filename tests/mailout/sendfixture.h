// The runtime on a fake platform, as both the sender's and the composer's
// tests need it: one record of busy-pointer changes and message boxes in
// order, the per-user settings file, and the log read back.
#pragma once

#include "fakeplatform.h"
#include "inifile.h"
#include "log.h"
#include "startup.h"
#include "state.h"

#include <QDir>
#include <QStringList>

#include <gtest/gtest.h>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {

inline QString u8(const char* text)
{
    return QString::fromUtf8(text);
}

class SendFixture : public ::testing::Test {
protected:
    static inline const QString kTime = QStringLiteral("01.02.2026 10:00:00");

    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        guard.fake.fixedTime = kTime;
        guard.fake.setUiHooks({
            [this](const QString& c, const QString& t, rt::MsgIcon i) {
                guard.fake.messages.append({c, t, i});
                events.append(QStringLiteral("box"));
            },
            [this](bool busy) {
                guard.fake.busyCalls.append(busy);
                events.append(busy ? QStringLiteral("busy") : QStringLiteral("normal"));
            },
            [] {},
            [this](const QString& c, const QString& t) { return guard.fake.ask(c, t); },
        });
        rt::startLog();
        rt::locateSettingsFile();
    }

    QString userIni() const { return rt::state().etcFolder + QStringLiteral("OLA.INI"); }

    void storeLastAddress(const QString& text)
    {
        rt::IniFile ini(userIni());
        ini.writeString(QStringLiteral("STANDARD"), QStringLiteral("LastEmailAddress"), text);
        ASSERT_TRUE(ini.updateFile());
    }

    // As stored on disk, not as held in memory.
    QString storedLastAddress() const
    {
        return rt::IniFile(userIni()).readString(QStringLiteral("STANDARD"), QStringLiteral("LastEmailAddress"));
    }

    // The log lines that start with prefix, without their time stamps.
    QStringList logLines(const QString& prefix) const
    {
        QStringList out;
        for (const QString& line : rt::state().logLines) {
            const QString text = line.mid(kTime.size() + 1);
            if (line.startsWith(kTime) && text.startsWith(prefix))
                out.append(text);
        }
        return out;
    }
    QStringList smtpLog() const { return logLines(QStringLiteral("SMTP:")); }

    RuntimeFixtureGuard guard;
    QStringList events;
};

} // namespace testsupport
