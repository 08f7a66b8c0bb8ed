// A main window against a scripted POP3 server, with its own settings.
#pragma once

#include "fakeplatform.h"
#include "inifile.h"
#include "log.h"
#include "mailboxwatcher.h"
#include "passwordscramble.h"
#include "scriptedpop3server.h"
#include "startup.h"
#include "state.h"
#include "stripwindow.h"

#include <QDir>
#include <QLabel>
#include "listlines.h"
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <ostream>

// Failures show texts as text.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace testsupport {

inline QByteArray mailMessage(const QByteArray& from, const QByteArray& subject, const QByteArray& id = {})
{
    QByteArray m;
    if (!from.isEmpty())
        m += "From: " + from + "\r\n";
    if (!subject.isEmpty())
        m += "Subject: " + subject + "\r\n";
    m += "Date: Wed, 09 Dec 2026 10:00:00 +0100\r\n";
    m += "Message-ID: <" + (id.isEmpty() ? subject.toHex() : id) + "@test.example>\r\n";
    m += "\r\nHei.\r\n";
    return m;
}

inline QList<QByteArray> numberedMessages(int n)
{
    QList<QByteArray> out;
    for (int i = 1; i <= n; ++i)
        out.append(mailMessage("Avsender " + QByteArray::number(i) + " <a" + QByteArray::number(i) + "@test.example>",
                               "Melding " + QByteArray::number(i)));
    return out;
}

class WatcherFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        QDir::setCurrent(guard.fake.root.path());
        rt::startLog();
        rt::locateSettingsFile();
        server = std::make_unique<ScriptedPop3Server>();
        server->setCredentials("ola", "hemmelig");
    }
    void TearDown() override
    {
        stripWindow.reset();
        server.reset();
    }

    // Writes the per-user mail settings; the server and login are filled in.
    void writeSettings(std::map<QString, QString> pop3 = {})
    {
        pop3.try_emplace(QStringLiteral("ServerName"), QStringLiteral("127.0.0.1:%1").arg(server->port()));
        pop3.try_emplace(QStringLiteral("ServerUser"), QStringLiteral("ola"));
        pop3.try_emplace(QStringLiteral("ServerPassword"), rt::scrambleText(QStringLiteral("hemmelig")));
        pop3.try_emplace(QStringLiteral("StartupCheck"), QStringLiteral("1"));
        rt::IniFile ini(rt::state().etcFolder + QStringLiteral("OLA.INI"));
        ini.eraseSection(QStringLiteral("Pop3"));
        for (const auto& [key, value] : pop3)
            ini.writeString(QStringLiteral("Pop3"), key, value);
        ASSERT_TRUE(ini.updateFile());
    }

    app::StripWindow& makeStrip()
    {
        stripWindow = std::make_unique<app::StripWindow>();
        return *stripWindow;
    }

    // A window shown (so checked once) against a mailbox of n numbered messages.
    app::StripWindow& shownStripWith(int messages)
    {
        server->setMessages(numberedMessages(messages));
        writeSettings();
        app::StripWindow& f = makeStrip();
        f.showStrip();
        return f;
    }

    // A fresh server holding the given mailbox, the settings pointing at it,
    // nothing recorded yet, and a new window shown against it.
    app::StripWindow& freshStripWith(const QList<QByteArray>& mailbox, bool uidl = true)
    {
        stripWindow.reset();
        server = std::make_unique<ScriptedPop3Server>();
        server->setCredentials("ola", "hemmelig");
        server->setUidl(uidl);
        server->setMessages(mailbox);
        writeSettings();
        guard.fake.messages.clear();
        guard.fake.opened.clear();
        app::StripWindow& f = makeStrip();
        f.showStrip();
        return f;
    }

    QStringList lines() const
    {
        QStringList out;
        for (int i = 0; i < lineCount(stripWindow->messageList); ++i)
            out.append(lineText(stripWindow->messageList, i));
        return out;
    }

    // Every session the server has begun has ended: the window closed it
    // without waiting for QUIT's answer, so the server may still be on it.
    void waitForServerSessionsEnded() const
    {
        ASSERT_TRUE(server->waitForEndedSessions(server->sessionCount()));
    }

    // The texts of the boxes shown with this icon.
    QStringList boxTexts(rt::MsgIcon icon) const
    {
        QStringList out;
        for (const ShownMessage& m : guard.fake.messages) {
            if (m.icon == icon)
                out.append(m.text);
        }
        return out;
    }
    QStringList errorTexts() const { return boxTexts(rt::MsgIcon::Error); }

    // How many times the server was given this password.
    qsizetype passwordsSent(const QByteArray& password) const { return server->received().count("PASS " + password); }

    RuntimeFixtureGuard guard;
    std::unique_ptr<ScriptedPop3Server> server;
    std::unique_ptr<app::StripWindow> stripWindow;
};

} // namespace testsupport
