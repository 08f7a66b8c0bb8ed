// The runtime with its settings files and its log in a temporary folder,
// for the keyring tests: what the per-user file holds, and what was logged.
#pragma once

#include "fakeplatform.h"
#include "inifile.h"
#include "state.h"
#include "textfil.h"
#include "zt_reg.h"

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
        rt::textfilStart();
        rt::locateIniFile();
        rt::state().LogToFile = true;
    }

    // Writes keys of the per-user file: {section, key, value} each.
    void writeUserFile(std::initializer_list<std::array<QString, 3>> values)
    {
        rt::IniFileObj ini(rt::userIniFile());
        for (const auto& [section, key, value] : values)
            ini.writeString(section, key, value);
        ASSERT_TRUE(ini.updateFile());
    }
    QByteArray userFileBytes() const
    {
        QFile f(rt::userIniFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString stored(const QString& section, const QString& key) const
    {
        return rt::IniFileObj(rt::userIniFile()).readString(section, key, QStringLiteral("<mangler>"));
    }
    QStringList logLinesWith(const QString& text) const { return rt::state().LogLines.filter(text); }

    RuntimeFixtureGuard guard;
};

} // namespace testsupport
