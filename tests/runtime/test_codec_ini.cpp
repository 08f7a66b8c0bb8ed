// Settings file reading and writing: encodings, values, scrambled passwords.
#include "inifile.h"
#include "passwordscramble.h"
#include "textcodec.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace rt;

namespace {

QString u(const char16_t* s)
{
    return QString::fromUtf16(s);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

TEST(Scramble, KnownValues)
{
    struct Case {
        QString plain;
        QString stored;
    };
    const Case cases[] = {
        {QStringLiteral("abc"), QStringLiteral("zbdf2")},
        {QString(), QStringLiteral("z2")},
        {QStringLiteral("å"), QStringLiteral("z") + QChar(0xE5 + 1) + QStringLiteral("2")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scrambleText(c.plain), c.stored) << c.plain.toStdString();
        EXPECT_EQ(unscrambleText(c.stored), c.plain) << c.stored.toStdString();
    }
}

TEST(Scramble, UnscrambleIgnoresMarkersAndShortInput)
{
    EXPECT_EQ(unscrambleText(QString()), QString());
    EXPECT_EQ(unscrambleText(QStringLiteral("z")), QString());
    EXPECT_EQ(unscrambleText(QStringLiteral("x2")), QString());
    EXPECT_EQ(unscrambleText(QStringLiteral("Abdf!")), QStringLiteral("abc"));
}

// Every password, whatever its characters or length, must read back from
// the file exactly: shifted characters can become lone surrogates, NUL, CR
// or LF, which a naive UTF-8 file would lose or split.
TEST(Scramble, EveryPasswordSurvivesTheSettingsFile)
{
    const QString passwords[] = {
        QStringLiteral("hemmelig"),
        u(u"blåbærsyltetøy ÆØÅ"),
        QString(QChar(0xD7FF)),                                  // becomes a lone high surrogate
        QString(QChar(0xDBFE)) + QChar(0xDC00),                  // a pair that is split apart
        QString(QChar(0xFFFF)),                                  // wraps round to NUL
        QString(QChar(0xFFF9)) + QChar(0xFFF8) + QChar(0xFFF9),  // becomes LF, LF and CR
        QStringLiteral(" ledende og etterfølgende blanke "),
        QStringLiteral("a=b;[c]"),
        QString(60000, QLatin1Char('x')),                        // long enough to reach the surrogates
        QString::fromUtf8("\xF0\x9F\x93\xA7 post"),              // outside the 16-bit plane
    };
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("OLA.INI"));
    {
        IniFile ini(file);
        for (int i = 0; i < int(std::size(passwords)); ++i)
            ini.writeString(QStringLiteral("Pop3"), QStringLiteral("p%1").arg(i), scrambleText(passwords[i]));
        ini.writeString(QStringLiteral("Pop3"), QStringLiteral("after"), QStringLiteral("still here"));
        ASSERT_TRUE(ini.updateFile()) << ini.errorString().toStdString();
    }
    IniFile back(file);
    for (int i = 0; i < int(std::size(passwords)); ++i) {
        EXPECT_EQ(unscrambleText(back.readString(QStringLiteral("Pop3"), QStringLiteral("p%1").arg(i))), passwords[i])
            << "password " << i;
    }
    EXPECT_EQ(back.readString(QStringLiteral("Pop3"), QStringLiteral("after")), QStringLiteral("still here"));
}

TEST(IniFile, ReadsOlderWindows1252Files)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("OLA.INI"));
    // "Ærlig Ø" and a scrambled "æ" (0xE6 + 1 = 0xE7) written in Windows-1252 with CR LF.
    writeAll(file, QByteArray("[Email]\r\nEmailName=\xC6rlig \xD8\r\n[Pop3]\r\nServerPassword=z\xE7" "2\r\nEuro=\x80\r\n"));
    IniFile ini(file);
    EXPECT_EQ(ini.readString(QStringLiteral("Email"), QStringLiteral("EmailName")), u(u"Ærlig Ø"));
    EXPECT_EQ(unscrambleText(ini.readString(QStringLiteral("Pop3"), QStringLiteral("ServerPassword"))), u(u"æ"));
    EXPECT_EQ(ini.readString(QStringLiteral("Pop3"), QStringLiteral("Euro")), u(u"€"));
}

TEST(IniFile, WritesUtf8WithCrLfAndKeepsNamesCommentsAndBlanks)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("tavlund.ini"));
    writeAll(file, "; laget for hånd\n[standard]\nLogToFile=1\n; kommentar\nName= med blank \n");
    IniFile ini(file);
    // Section and key names match without regard to case; values lose their surrounding blanks.
    EXPECT_EQ(ini.readString(QStringLiteral("STANDARD"), QStringLiteral("name")), QStringLiteral("med blank"));
    ini.writeString(QStringLiteral("Standard"), QStringLiteral("LOGTOFILE"), QStringLiteral("0"));
    ini.writeString(QStringLiteral("Email"), QStringLiteral("EmailName"), u(u"Kåre"));
    ASSERT_TRUE(ini.updateFile());
    EXPECT_EQ(readAll(file), QByteArray("; laget for h\xC3\xA5nd\r\n[standard]\r\nLogToFile=0\r\n; kommentar\r\n"
                                        "Name= med blank \r\n\r\n[Email]\r\nEmailName=K\xC3\xA5re\r\n"));
}

TEST(IniFile, IntegersAndFlags)
{
    struct Case {
        const char* stored;
        qint32 asInt;
        bool asBool;
    };
    const Case cases[] = {
        {"12", 12, true},   {"2", 2, true},           {"1", 1, true},          {"0", 0, false},
        {"-7", -7, true},   {"12abc", 0, false},      {"abc", 0, false},       {"", 0, false},
        {" 5", 5, true},    {"2147483647", 2147483647, true}, {"2147483648", 0, false},
        {"-2147483648", -2147483647 - 1, true}, {"1.5", 0, false},
    };
    IniFile ini{QString(), QString()};
    for (const Case& c : cases) {
        ini.writeString(QStringLiteral("S"), QStringLiteral("k"), QString::fromUtf8(c.stored));
        EXPECT_EQ(ini.readInteger(QStringLiteral("S"), QStringLiteral("k")), c.asInt) << c.stored;
        EXPECT_EQ(ini.readBool(QStringLiteral("S"), QStringLiteral("k")), c.asBool) << c.stored;
    }
    EXPECT_EQ(ini.readInteger(QStringLiteral("S"), QStringLiteral("missing"), 9), 9);
    EXPECT_FALSE(ini.readBool(QStringLiteral("none"), QStringLiteral("missing")));
}

TEST(IniFile, ReadOnlyFileIsNotWrittenAndMemoryKeepsTheValue)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("tavlund.ini"));
    writeAll(file, "[STANDARD]\r\nA=1\r\n");
    QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup);
    IniFile ini(file);
    ini.writeString(QStringLiteral("STANDARD"), QStringLiteral("A"), QStringLiteral("2"));
    EXPECT_FALSE(ini.updateFile());
    EXPECT_FALSE(ini.errorString().isEmpty());
    EXPECT_EQ(ini.readString(QStringLiteral("STANDARD"), QStringLiteral("A")), QStringLiteral("2"));
    EXPECT_EQ(readAll(file), QByteArray("[STANDARD]\r\nA=1\r\n"));
}

TEST(IniFile, NewFilesAreReadableByTheOwnerOnly)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("OLA.INI"));
    IniFile ini(file);
    ini.writeString(QStringLiteral("Pop3"), QStringLiteral("ServerPassword"), QStringLiteral("zbdf2"));
    ASSERT_TRUE(ini.updateFile());
    const QFileDevice::Permissions p = QFile::permissions(file);
    EXPECT_TRUE(p.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    EXPECT_EQ(int(p & 0x00FF), 0) << "group and others must have no access";
}
