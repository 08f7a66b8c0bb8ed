// The runtime with its settings files and its log in a temporary folder,
// for the keyring tests: what the per-user file holds, and what was logged.
#pragma once

#include "fakeplatform.h"
#include "inifile.h"
#include "log.h"
#include "startup.h"
#include "state.h"
#include "username.h"

#include <QDir>
#include <QFile>
#include <array>
#include <initializer_list>
#include <gtest/gtest.h>
#include <ostream>

// Failures show texts as text.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {

class SettingsFileFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        rt::startLog();
        rt::locateSettingsFile();
        rt::state().logToFile = true;
    }

    // Writes keys of the per-user file: {section, key, value} each.
    void writeUserFile(std::initializer_list<std::array<QString, 3>> values)
    {
        rt::IniFile ini(rt::userSettingsFile());
        for (const auto& [section, key, value] : values)
            ini.writeString(section, key, value);
        ASSERT_TRUE(ini.updateFile());
    }
    QByteArray userFileBytes() const
    {
        QFile f(rt::userSettingsFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString stored(const QString& section, const QString& key) const
    {
        return rt::IniFile(rt::userSettingsFile()).readString(section, key, QStringLiteral("<mangler>"));
    }
    QStringList logLinesWith(const QString& text) const { return rt::state().logLines.filter(text); }

    RuntimeFixtureGuard guard;
};

} // namespace testsupport
