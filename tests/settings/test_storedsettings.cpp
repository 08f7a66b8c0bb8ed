// The typed settings of the per-user file: each section read and written
// through its home, against a settings file in a temporary folder.
#include "mailboxsettings.h"
#include "smtpsettings.h"
#include "userfilescope.h"

#include "passwordscramble.h"
#include "settingsaccess.h"
#include "settingsfilefixture.h"

#include <QFile>
#include <QRegularExpression>
#include <functional>

using namespace testsupport;
using settings::MailProtocol;

namespace {

// The three sections the settings dialog edits, as read or to be written.
struct Sections {
    settings::StoredMailboxSettings mailbox;
    settings::SmtpSettings smtp;
    settings::SenderIdentity sender;
};

Sections readAll()
{
    const settings::UserFileScope userFile;
    return {settings::readStoredMailboxSettings(), settings::readSmtpSettings(), settings::readSenderIdentity()};
}

void writeAll(const Sections& s)
{
    const settings::UserFileScope userFile;
    settings::writeMailboxSettings(s.mailbox);
    settings::writeSmtpSettings(s.smtp);
    settings::writeSenderIdentity(s.sender);
}

class StoredSettingsTest : public SettingsFileFixture {
protected:
    QStringList userFileLines() const
    {
        QStringList lines = QString::fromUtf8(userFileBytes()).split(QRegularExpression(QStringLiteral("\r?\n")));
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
};

QString flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

// A new file gets the sections and keys in the order earlier versions wrote
// them, the mailbox password scrambled and the SMTP password as typed.
TEST_F(StoredSettingsTest, NewFileAsWritten)
{
    Sections s;
    s.mailbox.protocol = MailProtocol::Imap;
    s.mailbox.serverName = QStringLiteral("imap.example.no:993");
    s.mailbox.user = QStringLiteral("ola");
    s.mailbox.password = QStringLiteral("abc");
    s.mailbox.scheduler = true;
    s.mailbox.scheduleMinutes = QStringLiteral("10 min");
    s.mailbox.showListOnNew = true;
    s.smtp.serverName = QStringLiteral("smtp.example.no");
    s.smtp.password = QStringLiteral("abc");
    s.smtp.authenticationType = 1;
    s.sender.address = QStringLiteral("ola@example.no");
    s.sender.name = QStringLiteral("Ola Nordmann");
    writeAll(s);

    EXPECT_EQ(userFileLines(), (QStringList{
                                   QStringLiteral("[Pop3]"),
                                   QStringLiteral("Protocol=IMAP"),
                                   QStringLiteral("ServerName=imap.example.no:993"),
                                   QStringLiteral("ServerUser=ola"),
                                   QStringLiteral("ServerPassword=zbdf2"),
                                   QStringLiteral("StartupCheck=0"),
                                   QStringLiteral("Scheduler=1"),
                                   QStringLiteral("ScheduleMinutes=10 min"),
                                   QStringLiteral("ShowList=0"),
                                   QStringLiteral("HideWindow=0"),
                                   QStringLiteral("BeepOnMail=0"),
                                   QStringLiteral("ShowOnNew=0"),
                                   QStringLiteral("ShowListOnNew=1"),
                                   QString(),
                                   QStringLiteral("[Smtp]"),
                                   QStringLiteral("ExternalProgram=0"),
                                   QStringLiteral("MailProgram="),
                                   QStringLiteral("ServerName=smtp.example.no"),
                                   QStringLiteral("ServerUser="),
                                   QStringLiteral("ServerPassword=abc"),
                                   QStringLiteral("SMTPAuthenticationType=1"),
                                   QStringLiteral("LogSMTP=0"),
                                   QString(),
                                   QStringLiteral("[Email]"),
                                   QStringLiteral("PersonalEmail=ola@example.no"),
                                   QStringLiteral("EmailName=Ola Nordmann"),
                               }));
}

// Every key's text goes into its field and back out unchanged, so a file
// the dialog opens and closes untouched stays as it was.
TEST_F(StoredSettingsTest, EveryTextKeyRoundTrips)
{
    struct Key {
        const char* section;
        const char* key;
        QString inFile;
        QString read; // the field as read
        std::function<QString(const Sections&)> field;
    };
    const Key keys[] = {
        {"Pop3", "Protocol", QStringLiteral("IMAP"), QStringLiteral("IMAP"),
         [](const Sections& s) { return settings::protocolText(s.mailbox.protocol); }},
        {"Pop3", "ServerName", QStringLiteral("[::1]:1110"), QStringLiteral("[::1]:1110"),
         [](const Sections& s) { return s.mailbox.serverName; }},
        {"Pop3", "ServerUser", QStringLiteral("ola.nordmann"), QStringLiteral("ola.nordmann"),
         [](const Sections& s) { return s.mailbox.user; }},
        {"Pop3", "ServerPassword", rt::scrambleText(QStringLiteral(" hemmelig æ ")), QStringLiteral(" hemmelig æ "),
         [](const Sections& s) { return s.mailbox.password.value_or(QStringLiteral("<ingen>")); }},
        {"Pop3", "ScheduleMinutes", QStringLiteral("fem"), QStringLiteral("fem"),
         [](const Sections& s) { return s.mailbox.scheduleMinutes; }},
        {"Smtp", "MailProgram", QStringLiteral("Mutt"), QStringLiteral("Mutt"),
         [](const Sections& s) { return s.smtp.mailProgram; }},
        {"Smtp", "ServerName", QStringLiteral("smtp.example.no:587"), QStringLiteral("smtp.example.no:587"),
         [](const Sections& s) { return s.smtp.serverName; }},
        {"Smtp", "ServerUser", QStringLiteral("ola@example.no"), QStringLiteral("ola@example.no"),
         [](const Sections& s) { return s.smtp.user; }},
        {"Smtp", "ServerPassword", QStringLiteral("klar=tekst;"), QStringLiteral("klar=tekst;"),
         [](const Sections& s) { return s.smtp.password; }},
        {"Smtp", "SMTPAuthenticationType", QStringLiteral("1"), QStringLiteral("1"),
         [](const Sections& s) { return QString::number(s.smtp.authenticationType); }},
        {"Email", "PersonalEmail", QStringLiteral("kari@example.no"), QStringLiteral("kari@example.no"),
         [](const Sections& s) { return s.sender.address; }},
        {"Email", "EmailName", QStringLiteral("Kari Nordmann"), QStringLiteral("Kari Nordmann"),
         [](const Sections& s) { return s.sender.name; }},
    };
    {
        rt::IniFile ini(rt::userSettingsFile());
        for (const Key& k : keys)
            ini.writeString(QLatin1String(k.section), QLatin1String(k.key), k.inFile);
        ASSERT_TRUE(ini.updateFile());
    }
    const Sections read = readAll();
    for (const Key& k : keys)
        EXPECT_EQ(k.field(read), k.read) << k.section << "/" << k.key;

    ASSERT_TRUE(QFile::remove(rt::userSettingsFile()));
    writeAll(read);
    for (const Key& k : keys)
        EXPECT_EQ(stored(QLatin1String(k.section), QLatin1String(k.key)), k.inFile) << k.section << "/" << k.key;
}

// The on/off keys, each with a code of its own over four rounds, so that
// two keys swapped in the write or the read differ in at least one round.
TEST_F(StoredSettingsTest, EveryOnOffKeyRoundTrips)
{
    struct OnOff {
        const char* section;
        const char* key;
        int code;
        std::function<bool&(Sections&)> field;
    };
    const OnOff flags[] = {
        {"Pop3", "StartupCheck", 1, [](Sections& s) -> bool& { return s.mailbox.startupCheck; }},
        {"Pop3", "Scheduler", 2, [](Sections& s) -> bool& { return s.mailbox.scheduler; }},
        {"Pop3", "ShowList", 3, [](Sections& s) -> bool& { return s.mailbox.showList; }},
        {"Pop3", "HideWindow", 4, [](Sections& s) -> bool& { return s.mailbox.hideWhenEmpty; }},
        {"Pop3", "BeepOnMail", 5, [](Sections& s) -> bool& { return s.mailbox.beepOnMail; }},
        {"Pop3", "ShowOnNew", 6, [](Sections& s) -> bool& { return s.mailbox.showOnNew; }},
        {"Pop3", "ShowListOnNew", 7, [](Sections& s) -> bool& { return s.mailbox.showListOnNew; }},
        {"Smtp", "ExternalProgram", 8, [](Sections& s) -> bool& { return s.smtp.externalProgram; }},
        {"Smtp", "LogSMTP", 9, [](Sections& s) -> bool& { return s.smtp.logSmtp; }},
    };
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        auto on = [round](const OnOff& f) { return ((f.code >> round) & 1) != 0; };
        Sections written;
        for (const OnOff& f : flags)
            f.field(written) = on(f);
        writeAll(written);
        for (const OnOff& f : flags)
            EXPECT_EQ(stored(QLatin1String(f.section), QLatin1String(f.key)), flag(on(f))) << f.key;
        Sections read = readAll();
        for (const OnOff& f : flags)
            EXPECT_EQ(f.field(read), on(f)) << f.key;
    }
}

// "Protocol" only where it says something: a POP3 user's file gets no such
// key (none means POP3, as earlier versions read the file); IMAP is
// written, and once the key is there it follows the choice.
TEST_F(StoredSettingsTest, ProtocolIsWrittenWhereItSaysSomething)
{
    struct Case {
        const char* name;
        QString before; // empty: no key
        MailProtocol chosen;
        QString after;
    };
    const Case cases[] = {
        {"POP3 without the key", QString(), MailProtocol::Pop3, QStringLiteral("<mangler>")},
        {"IMAP without the key", QString(), MailProtocol::Imap, QStringLiteral("IMAP")},
        {"back to POP3", QStringLiteral("IMAP"), MailProtocol::Pop3, QStringLiteral("POP3")},
        {"POP3 kept", QStringLiteral("pop3"), MailProtocol::Pop3, QStringLiteral("POP3")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(rt::userSettingsFile());
        if (!c.before.isEmpty())
            writeUserFile({{QStringLiteral("Pop3"), QStringLiteral("Protocol"), c.before}});
        settings::StoredMailboxSettings s;
        s.protocol = c.chosen;
        settings::writeMailboxSettings(s);
        EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("Protocol")), c.after);
        EXPECT_EQ(settings::readStoredMailboxSettings().protocol, c.chosen);
    }
}

// The mailbox password: an empty value is "none in the file" (the keyring
// may hold it); an empty password is the scrambled empty text.
TEST_F(StoredSettingsTest, MailboxPasswordInTheFile)
{
    struct Case {
        std::optional<QString> password;
        QString inFile;
    };
    const Case cases[] = {
        {std::nullopt, QString()},
        {QString(), QStringLiteral("z2")},
        {QStringLiteral("abc"), QStringLiteral("zbdf2")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inFile.toStdString());
        settings::StoredMailboxSettings s;
        s.password = c.password;
        settings::writeMailboxSettings(s);
        EXPECT_EQ(stored(QStringLiteral("Pop3"), QStringLiteral("ServerPassword")), c.inFile);
        EXPECT_EQ(settings::readStoredMailboxSettings().password, c.password);
    }
}

// What the stored text means to the watcher.
TEST(MailboxSettingsFrom, ServerAndIntervalAsTheWatcherUsesThem)
{
    struct Case {
        const char* name;
        MailProtocol protocol;
        QString serverName;
        QString scheduleMinutes;
        QString host;
        int port;
        int scheduleMs;
    };
    const Case cases[] = {
        {"POP3, no port", MailProtocol::Pop3, QStringLiteral("pop.example.no"), QStringLiteral("15"),
         QStringLiteral("pop.example.no"), 110, 15 * 60000},
        {"IMAP, no port", MailProtocol::Imap, QStringLiteral("imap.example.no"), QStringLiteral(" 5 "),
         QStringLiteral("imap.example.no"), 143, 5 * 60000},
        {"own port", MailProtocol::Imap, QStringLiteral("imap.example.no:993"), QString(),
         QStringLiteral("imap.example.no"), 993, 0},
        {"IPv6 with port", MailProtocol::Pop3, QStringLiteral("[::1]:1110"), QStringLiteral("fem"),
         QStringLiteral("::1"), 1110, 0},
        {"words after the number", MailProtocol::Pop3, QStringLiteral("p"), QStringLiteral("10 min"),
         QStringLiteral("p"), 110, 0},
        {"below 0", MailProtocol::Pop3, QStringLiteral("p"), QStringLiteral("-3"), QStringLiteral("p"), 110, 0},
        {"above the longest", MailProtocol::Pop3, QStringLiteral("p"), QStringLiteral("99999"), QStringLiteral("p"),
         110, settings::kMaxScheduleMinutes * 60000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings::StoredMailboxSettings stored;
        stored.protocol = c.protocol;
        stored.serverName = c.serverName;
        stored.scheduleMinutes = c.scheduleMinutes;
        const settings::MailboxSettings s = settings::mailboxSettingsFrom(stored);
        EXPECT_EQ(s.host, c.host);
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(s.scheduleMs, c.scheduleMs);
        EXPECT_EQ(s.protocol, c.protocol);
    }
}

// A check at once after the dialog is due when the account changed: the
// server, its port, the user or the password, and nothing else.
TEST(SameAccount, OnlyServerPortUserAndPasswordCount)
{
    settings::MailboxSettings base;
    base.host = QStringLiteral("pop.example.no");
    base.port = 995;
    base.user = QStringLiteral("ola");
    base.password = QStringLiteral("hemmelig");
    struct Case {
        const char* name;
        std::function<void(settings::MailboxSettings&)> change;
        bool same;
    };
    const Case cases[] = {
        {"unchanged", [](settings::MailboxSettings&) {}, true},
        {"another server", [](settings::MailboxSettings& s) { s.host = QStringLiteral("pop2.example.no"); }, false},
        {"another port", [](settings::MailboxSettings& s) { s.port = 110; }, false},
        {"another user", [](settings::MailboxSettings& s) { s.user = QStringLiteral("kari"); }, false},
        {"another password", [](settings::MailboxSettings& s) { s.password = QStringLiteral("nytt"); }, false},
        {"password emptied", [](settings::MailboxSettings& s) { s.password.clear(); }, false},
        {"user in other case", [](settings::MailboxSettings& s) { s.user = QStringLiteral("Ola"); }, false},
        {"schedule and display", [](settings::MailboxSettings& s) {
             s.scheduler = true;
             s.scheduleMs = 60000;
             s.showList = true;
             s.beepOnMail = true;
             s.notifyOnNew = false;
         }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings::MailboxSettings now = base;
        c.change(now);
        EXPECT_EQ(settings::sameAccount(base, now), c.same);
        EXPECT_EQ(settings::sameAccount(now, base), c.same);
    }
}

// The move to the keyring empties a password in the file only while it
// is still the one that went to the keyring.
TEST_F(StoredSettingsTest, PasswordIsClearedOnlyWhileItIsTheSame)
{
    struct Case {
        const char* name;
        const char* section;
        QString inFile;
        QString moved;
        bool cleared;
    };
    const Case cases[] = {
        {"mailbox, the same", "Pop3", rt::scrambleText(QStringLiteral("abc")), QStringLiteral("abc"), true},
        {"mailbox, another by now", "Pop3", rt::scrambleText(QStringLiteral("nytt")), QStringLiteral("abc"), false},
        {"mailbox, emptied meanwhile", "Pop3", QString(), QString(), false},
        {"SMTP, the same", "Smtp", QStringLiteral("abc"), QStringLiteral("abc"), true},
        {"SMTP, another by now", "Smtp", QStringLiteral("nytt"), QStringLiteral("abc"), false},
        {"SMTP, emptied meanwhile", "Smtp", QString(), QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString section = QLatin1String(c.section);
        writeUserFile({{section, QStringLiteral("ServerPassword"), c.inFile},
                       {section, QStringLiteral("ServerUser"), QStringLiteral("ola")}});
        const bool cleared = section == QLatin1String("Pop3") ? settings::clearStoredMailboxPassword(c.moved)
                                                              : settings::clearStoredSmtpPassword(c.moved);
        EXPECT_EQ(cleared, c.cleared);
        EXPECT_EQ(stored(section, QStringLiteral("ServerPassword")), c.cleared ? QString() : c.inFile);
        EXPECT_EQ(stored(section, QStringLiteral("ServerUser")), QStringLiteral("ola"));
    }
}

// Reads and writes inside one scope share one load and one save: nothing
// reaches the disk before the outermost scope ends, and the settings object
// stays on the per-user file until then.
TEST_F(StoredSettingsTest, OneScopeOneSave)
{
    {
        const settings::UserFileScope userFile;
        settings::SenderIdentity sender;
        sender.name = QStringLiteral("Ola");
        settings::writeSenderIdentity(sender);
        EXPECT_EQ(rt::settingsFile().fileName(), rt::userSettingsFile()) << "an inner scope kept the per-user file";
        EXPECT_FALSE(QFile::exists(rt::userSettingsFile())) << "saved before the scope ended";
        settings::writeSmtpSettings({});
        EXPECT_EQ(settings::readSenderIdentity().name, QStringLiteral("Ola"));
    }
    EXPECT_NE(rt::settingsFile().fileName(), rt::userSettingsFile()) << "back on the main file";
    EXPECT_EQ(stored(QStringLiteral("Email"), QStringLiteral("EmailName")), QStringLiteral("Ola"));
    EXPECT_EQ(stored(QStringLiteral("Smtp"), QStringLiteral("LogSMTP")), QStringLiteral("0"));
}

// The "Sende" page proposes the mailbox server's host, never its port: a
// POP3 port given to the composer would have it talk SMTP to a POP3 server.
TEST(SmtpServerProposal, TakesTheHostOnly)
{
    struct Case {
        const char* pop;
        const char* smtp;
    };
    const Case cases[] = {
        {"pop.x:995", "pop.x"},
        {"pop.x", "pop.x"},
        {" pop.x:110 ", "pop.x"},
        {"127.0.0.1:15001", "127.0.0.1"},
        {"pop.x:", "pop.x"},
        {"[::1]:995", "[::1]"},
        {"[::1]", "[::1]"},
        {"::1", "[::1]"},
        {"2001:db8::1", "[2001:db8::1]"},
        {"[::1", "[::1"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(settings::smtpServerProposal(QString::fromUtf8(c.pop)), QString::fromUtf8(c.smtp)) << c.pop;
}
