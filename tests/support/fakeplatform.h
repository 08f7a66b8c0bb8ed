// A platform with fixed machine facts and its own temporary application-data
// root, recording what would have reached the screen.
#pragma once

#include "platform.h"
#include "state.h"

#include <QDateTime>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>

namespace testsupport {

struct ShownMessage {
    QString caption;
    QString text;
    rt::MsgIcon icon;
};

class FakePlatform : public rt::Platform {
public:
    FakePlatform()
    {
        setUiHooks({
            [this](const QString& c, const QString& t, rt::MsgIcon i) { messages.append({c, t, i}); },
            [this](bool busy) { busyCalls.append(busy); },
            [this] { ++beeps; },
            [this](const QString& c, const QString& t) { return ask(c, t); },
        });
    }

    // Records a question and gives the next answer (no when none is left).
    bool ask(const QString& caption, const QString& text)
    {
        questions.append({caption, text, rt::MsgIcon::None});
        return !answers.isEmpty() && answers.takeFirst();
    }

    QString appDataRoot() const override { return root.path(); }
    QString programFile() const override { return program; }
    QString environment(const char* name) const override { return env.value(QString::fromLatin1(name)); }
    QString hostName() const override { return host; }
    QString dnsDomain() const override { return domain; }
    QString firstIPv4Address() const override { return ipv4; }
    QString loginUser() const override { return user; }
    QString dateTimeText(const QDateTime& when) const override
    {
        return fixedTime.isEmpty() ? rt::formatDateTime(when, QLocale(QLocale::NorwegianBokmal, QLocale::Norway))
                                   : fixedTime;
    }
    // Records the opening; reports its outcome at once (failure when
    // openerFails is set).
    void shellOpen(const QString& file, const QString& parameters, const QString& folder,
                   const std::function<void(bool opened)>& done) override
    {
        opened.append({file, parameters, folder});
        if (done)
            done(!openerFails);
    }

    QTemporaryDir root;
    QString program = QStringLiteral("/opt/brevglimt/bin/brevglimt");
    QMap<QString, QString> env;
    QString host = QStringLiteral("arbeid");
    QString domain = QStringLiteral("firma.example");
    QString ipv4 = QStringLiteral("192.0.2.7");
    QString user = QStringLiteral("ola");
    QString fixedTime;

    QList<ShownMessage> messages;
    // Questions asked, and the answers to give them in turn (no when none left).
    QList<ShownMessage> questions;
    QList<bool> answers;
    QList<bool> busyCalls;
    QList<QStringList> opened;
    bool openerFails = false;
    int beeps = 0;
};

// Installs a fresh fake platform and a fresh runtime state for one test,
// and puts both back afterwards.
class RuntimeFixtureGuard {
public:
    RuntimeFixtureGuard()
    {
        rt::resetState();
        rt::setPlatform(&fake);
    }
    ~RuntimeFixtureGuard()
    {
        rt::setPlatform(nullptr);
        rt::resetState();
    }
    RuntimeFixtureGuard(const RuntimeFixtureGuard&) = delete;
    RuntimeFixtureGuard& operator=(const RuntimeFixtureGuard&) = delete;

    FakePlatform fake;
};

} // namespace testsupport
