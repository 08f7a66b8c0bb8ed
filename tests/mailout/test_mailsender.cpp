// The send without any window: against the scripted SMTP server (faults,
// log lines, log-ins) and a real aiosmtpd server (what arrives).
#include "mailsender.h"
#include "sendfixture.h"
#include "sinkchecks.h"
#include "tls.h"

#include "errordisplay.h"
#include "fakesecretstore.h"
#include "offthread.h"
#include "scriptedsmtpserver.h"
#include "smtpserver.h"
#include "testca.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <optional>

using mailout::Draft;
using mailout::MailSender;
using mailout::SendOutcome;
using namespace testsupport;

namespace {

class MailSenderTest : public testsupport::SendFixture {
protected:
    void SetUp() override
    {
        SendFixture::SetUp();
        identity.address = QStringLiteral("kari@example.no");
        identity.name = u8("Kari Nordmann");
    }

    // Sends with the settings as they stand now.
    SendOutcome send(const Draft& draft)
    {
        sender.configure(smtp, identity);
        return sender.send(draft);
    }

    // The box's second line for a failure: the cause as the error display
    // words it.
    static QString shownCause(const SendOutcome& outcome) { return rt::errorDisplayText(outcome.cause); }

    settings::SmtpSettings smtp;
    settings::SenderIdentity identity;
    MailSender sender;
};

// ---------------------------------------------------------------------------
// Against the scripted server

class MailSenderScripted : public MailSenderTest {
protected:
    void SetUp() override
    {
        MailSenderTest::SetUp();
        server = std::make_unique<ScriptedSmtpServer>();
        smtp.serverName = server->hostPort();
    }
    void TearDown() override { server.reset(); }

    std::unique_ptr<ScriptedSmtpServer> server;
};

TEST_F(MailSenderScripted, LogLinesNeedBothLogSmtpAndLogToFile)
{
    const QString recipients = u8("\"Nordmann, Ola\" <ola@example.no>,per@example.no ; Åse <ase@example.no>");
    const QString host = server->hostPort();
    const QStringList successLines = {
        u8("SMTP: OLA tillates tilgang"),
        u8("SMTP: fra kari@example.no til \"Nordmann, Ola\" <ola@example.no>, per@example.no, Åse <ase@example.no> "
           "via ") + host,
        u8("SMTP: tilkoblet ") + host,
        u8("SMTP: melding sendt"),
        u8("SMTP: koblet fra ") + host,
    };
    struct Case {
        const char* what;
        bool logSmtp;
        bool logToFile;
        QStringList expected;
    };
    const Case cases[] = {
        {"both on", true, true, successLines},
        {"LogSMTP without LogToFile", true, false, {}},
        {"LogToFile without LogSMTP", false, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        smtp.logSmtp = c.logSmtp;
        rt::state().logToFile = c.logToFile;
        rt::state().logLines.clear();
        const SendOutcome outcome = send({recipients, u8("Logg"), u8("Hei"), {}});
        EXPECT_TRUE(outcome.sent) << outcome.cause.toStdString();
        EXPECT_EQ(smtpLog(), c.expected);
        EXPECT_FALSE(sender.connected());
        EXPECT_EQ(storedLastAddress(), recipients);
    }
    // The sender itself never shows anything.
    EXPECT_TRUE(guard.fake.messages.isEmpty());
    EXPECT_TRUE(events.isEmpty());
    const QList<testsupport::SmtpDelivery> got = server->deliveries();
    ASSERT_EQ(got.size(), 3);
    EXPECT_TRUE(got[0].mailFrom.startsWith("<kari@example.no>")) << got[0].mailFrom.toStdString();
    EXPECT_EQ(got[0].rcptTo, (QList<QByteArray>{"<ola@example.no>", "<per@example.no>", "<ase@example.no>"}));
}

TEST_F(MailSenderScripted, LogsInWithTheStoredAccountOnlyWithEnkelPalogging)
{
    const QString password = u8("blåbær 7");
    struct Case {
        const char* what;
        int type;
        QString serverPassword; // what the server accepts
        bool loginExpected;
        bool sent;
    };
    const Case cases[] = {
        {"Enkel pålogging", 1, password, true, true},
        {"Ingen pålogging", 0, password, false, true},
        {"Enkel pålogging, refused", 1, u8("noe annet"), true, false},
    };
    server->setAuthMechanisms({"PLAIN"});
    smtp.logSmtp = true;
    smtp.user = u8("kari.n");
    smtp.password = password;
    rt::state().logToFile = true;
    // The failure's cause goes to the log as well; it must not carry the
    // password either.
    rt::state().verboseLogging = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server->setCredentials(u8("kari.n").toUtf8(), c.serverPassword.toUtf8());
        const qsizetype loginsBefore = server->logins().size();
        const qsizetype deliveriesBefore = server->deliveries().size();
        rt::state().logLines.clear();
        smtp.authenticationType = c.type;
        const SendOutcome outcome = send({u8("ola@example.no"), u8("Pålogging"), u8("Hei"), {}});

        const QList<testsupport::SmtpLogin> logins = server->logins().mid(loginsBefore);
        if (c.loginExpected) {
            ASSERT_EQ(logins.size(), 1);
            EXPECT_EQ(logins[0].user, "kari.n");
            EXPECT_EQ(QString::fromUtf8(logins[0].password), password);
        } else {
            EXPECT_TRUE(logins.isEmpty());
        }
        EXPECT_EQ(server->deliveries().size() - deliveriesBefore, c.sent ? 1 : 0);
        EXPECT_EQ(outcome.sent, c.sent);
        EXPECT_FALSE(outcome.cause.contains(password));
        ASSERT_FALSE(smtpLog().isEmpty());
        for (const QString& line : rt::state().logLines)
            EXPECT_FALSE(line.contains(password)) << line.toStdString();
        if (!c.sent) {
            EXPECT_TRUE(smtpLog().last().contains(u8("535 5.7.8"))) << smtpLog().last().toStdString();
        }
    }
}

// A password the settings do not hold comes from the keyring; one the
// keyring cannot give (or that is stored nowhere) fails the send with its
// cause, and no password goes to the server.
TEST_F(MailSenderScripted, PasswordFromTheKeyring)
{
    const QString password = u8("fra nøkkelringen");
    struct Case {
        const char* what;
        QString inFile;
        std::optional<QString> inKeyring;
        bool locked;
        std::optional<QString> loginWith; // nullopt: no log-in
        QString shown;                    // the failure as the box shows it; empty: sent
    };
    const Case cases[] = {
        {"only in the keyring", {}, password, false, password, {}},
        {"the file's wins (not moved yet)", u8("fra filen"), password, false, u8("fra filen"), {}},
        {"the keyring is locked", {}, password, true, std::nullopt,
         u8("Passordet for SMTP-kontoen kunne ikke hentes fra nøkkelringen: nøkkelringen er låst.")},
        {"no password anywhere: no log-in with an empty one", {}, std::nullopt, false, std::nullopt,
         u8("Det er ikke lagret noe passord for kari.n på 127.0.0.1 (SMTP). Skriv det inn under «Oppsett».")},
    };
    server->setAuthMechanisms({"PLAIN"});
    testsupport::FakeSecretStore keyringStore;
    const testsupport::StoreGuard installed(&keyringStore);
    smtp.authenticationType = 1;
    smtp.user = u8("kari.n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        keyringStore.entries.clear();
        if (c.inKeyring)
            keyringStore.entries.insert(u8("Brevglimt: kari.n på 127.0.0.1 (SMTP)"), *c.inKeyring);
        keyringStore.locked = c.locked;
        server->setCredentials("kari.n", c.loginWith.value_or(password).toUtf8());
        const qsizetype loginsBefore = server->logins().size();
        smtp.password = c.inFile;
        const SendOutcome outcome = send({u8("ola@example.no"), u8("Nøkkelring"), u8("Hei"), {}});

        const QList<testsupport::SmtpLogin> logins = server->logins().mid(loginsBefore);
        if (c.loginWith) {
            ASSERT_EQ(logins.size(), 1);
            EXPECT_EQ(QString::fromUtf8(logins[0].password), *c.loginWith);
        } else {
            EXPECT_TRUE(logins.isEmpty());
        }
        const QStringList calls = keyringStore.takeCalls();
        EXPECT_EQ(calls.isEmpty(), !c.inFile.isEmpty()) << "the keyring is read when the file has no password";
        EXPECT_EQ(outcome.sent, c.shown.isEmpty());
        if (!c.shown.isEmpty()) {
            EXPECT_EQ(shownCause(outcome), c.shown);
        }
    }
}

struct FailureCase {
    const char* name;
    std::optional<SmtpFault> fault;
    // What the settings say: the scripted server or none.
    bool noServer = false;
    bool missingAttachment = false;
    bool quitAfterwards = true; // the server saw the client's QUIT
    bool connects = true; // the "tilkoblet" line comes before the failure
    // The cause as the box shows it; %1 the server's host:port, %2 the
    // attachment's path.
    const char* cause = "";
    int replyMs = 300; // a stall ends in a time-out, shortened from a minute
    // Set: the server stalls for good, and a timer on the calling thread
    // stops it once it has received this command; the send can end only if
    // the calling thread keeps running while it waits.
    const char* callerStopsServerAfter = nullptr;
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c)
{
    return os << c.name;
}

class MailSenderFailure : public MailSenderScripted, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MailSenderFailure, ReportsTheCauseAndLeavesNoConnection)
{
    const FailureCase& c = GetParam();
    if (c.fault)
        server->addFault(*c.fault);
    if (c.noServer)
        smtp.serverName.clear();
    const QString host = smtp.serverName;
    smtp.logSmtp = true;
    rt::state().logToFile = true;
    net::Timeouts timeouts;
    timeouts.replyMs = c.replyMs;
    sender.setTimeouts(timeouts);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString attachment = dir.filePath(QStringLiteral("notat.txt"));
    if (!c.missingAttachment) {
        QFile f(attachment);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("innhold\n");
    }
    const QString recipients = u8("ola@example.no, Kari <kari@example.no>");

    // The calling thread while the network steps run: its timers fire.
    int ticksDuringSend = 0;
    QTimer callerTimer;
    callerTimer.setInterval(5);
    QObject::connect(&callerTimer, &QTimer::timeout, [&] {
        if (!rt::offThreadStepRunning())
            return;
        ++ticksDuringSend;
        if (c.callerStopsServerAfter && server->receivedVerbs().contains(QByteArray(c.callerStopsServerAfter)))
            server->stop();
    });
    callerTimer.start();
    const SendOutcome outcome =
        send({recipients, u8("Viktig"), u8("Første linje\nAndre linje"), attachment});
    callerTimer.stop();
    if (c.callerStopsServerAfter || (c.fault && c.fault->action == SmtpFault::Action::Stall)) {
        EXPECT_GT(ticksDuringSend, 0) << "the calling thread stood still while the server stalled";
    }

    EXPECT_FALSE(outcome.sent);
    EXPECT_EQ(shownCause(outcome),
              u8(c.cause).replace(QStringLiteral("%1"), server->hostPort()).replace(QStringLiteral("%2"), attachment));
    EXPECT_TRUE(guard.fake.messages.isEmpty());
    QStringList log = {u8("SMTP: OLA tillates tilgang"),
                       u8("SMTP: fra kari@example.no til ola@example.no, Kari <kari@example.no> via ") + host};
    if (c.connects)
        log.append(u8("SMTP: tilkoblet ") + host);
    log.append(u8("SMTP: Kan ikke sende melding til ") + host);
    EXPECT_EQ(smtpLog(), log);

    EXPECT_EQ(storedLastAddress(), recipients);
    EXPECT_FALSE(sender.connected());
    EXPECT_TRUE(server->deliveries().isEmpty());
    if (c.quitAfterwards) {
        EXPECT_EQ(server->receivedVerbs().value(server->receivedVerbs().size() - 1), "QUIT");
    }
}

FailureCase failureCase(const char* name, std::optional<SmtpFault> fault, const char* cause)
{
    FailureCase c;
    c.name = name;
    c.fault = std::move(fault);
    c.cause = cause;
    return c;
}

FailureCase notConnecting(FailureCase c)
{
    c.quitAfterwards = false;
    c.connects = false;
    return c;
}

FailureCase dropping(FailureCase c)
{
    c.quitAfterwards = false;
    return c;
}

const FailureCase kFailureCases[] = {
    failureCase("refused_recipient", SmtpFault::reply("RCPT", "550 5.1.1 No such user").onArgument("kari@"),
                "Serveren avviste mottakeren <kari@example.no>: 550 5.1.1 No such user."),
    failureCase("refused_sender", SmtpFault::reply("MAIL", "553 5.7.1 Sender rejected"),
                "Serveren avviste avsenderen <kari@example.no>: 553 5.7.1 Sender rejected."),
    dropping(failureCase("dropped_connection", SmtpFault::drop("DATA"), "Forbindelsen til %1 ble brutt.")),
    notConnecting(failureCase("stalled_server", SmtpFault::stall("GREETING"),
                              "Tidsavbrudd: ingen svar fra %1 innen 300 millisekunder.")),
    [] {
        FailureCase c = dropping(failureCase("stalled_data_ended_from_the_calling_thread", SmtpFault::stall("DATA"),
                                             "Forbindelsen til %1 ble brutt."));
        c.replyMs = 30000;
        c.callerStopsServerAfter = "DATA";
        return c;
    }(),
    [] {
        FailureCase c = failureCase("unreadable_attachment", std::nullopt, "Finner ikke vedlegget %2.");
        c.missingAttachment = true;
        return c;
    }(),
    [] {
        FailureCase c = notConnecting(failureCase("no_server", std::nullopt, "Ingen SMTP-server er angitt."));
        c.noServer = true;
        return c;
    }(),
};

INSTANTIATE_TEST_SUITE_P(Faults, MailSenderFailure, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Against aiosmtpd: what arrives

class MailSenderAiosmtpd : public MailSenderTest {
protected:
    void SetUp() override
    {
        if (!testsupport::AiosmtpdServer::available())
            GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
        MailSenderTest::SetUp();
        server = std::make_unique<testsupport::AiosmtpdServer>();
        smtp.serverName = server->hostPort();
    }
    void TearDown() override
    {
        if (server && HasFailure())
            std::cerr << "--- aiosmtpd output ---\n" << server->log().toStdString() << std::endl;
        server.reset();
    }

    std::unique_ptr<testsupport::AiosmtpdServer> server;
};

TEST_F(MailSenderAiosmtpd, PlainMessageArrivesAsWritten)
{
    const SendOutcome outcome = send({kRecipients, kSubject, kBody.join(u'\n'), {}});
    EXPECT_TRUE(outcome.sent) << outcome.cause.toStdString();

    const QList<testsupport::SinkMessage> got = server->messages();
    ASSERT_EQ(got.size(), 1);
    const testsupport::SinkMessage& m = got[0];
    expectSoundMessage(m);
    EXPECT_EQ(strings(m.info.value(QStringLiteral("rcpt_tos"))),
              (QStringList{u8("ola@example.no"), u8("ase@example.no")}));
    EXPECT_EQ(m.header(QStringLiteral("To")), u8("\"Nordmann, Ola\" <ola@example.no>, Åse Bjørnstad <ase@example.no>"));
    EXPECT_EQ(m.header(QStringLiteral("Subject")), kSubject);
    EXPECT_FALSE(m.info.value(QStringLiteral("is_multipart")).toBool());
    EXPECT_EQ(m.info.value(QStringLiteral("content_type")).toString(), QStringLiteral("text/plain"));
    EXPECT_EQ(part(m, 0).value(QStringLiteral("charset")).toString(), QStringLiteral("utf-8"));
    EXPECT_EQ(partText(m, 0), kBody.join(u'\n') + u'\n');
    EXPECT_EQ(storedLastAddress(), kRecipients);
}

// The same sender twice: the second message carries the one file again,
// not the parts of the first send as well.
TEST_F(MailSenderAiosmtpd, AttachmentArrivesIntactAndGoesAgainOnTheNextSend)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray bytes = testsupport::awkwardBytes();
    const QString path = dir.filePath(u8("Årsrapport 2024.pdf"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    for (int round = 0; round < 2; ++round) {
        const SendOutcome outcome = send({kRecipients, kSubject, kBody.join(u'\n'), path});
        EXPECT_TRUE(outcome.sent) << outcome.cause.toStdString();
    }

    expectTwoWithAttachment(server->messages(), bytes);
}

// A local server that requires STARTTLS with a self-signed certificate, as a
// freshly installed mail server has. Without a login the mail goes anyway,
// encrypted, and the unverified certificate is logged as a warning; with a
// login nothing is sent and the cause names what is wrong with the
// certificate, unless the user trusts it when asked.
TEST_F(MailSenderTest, SelfSignedStartTlsWithAndWithoutLogin)
{
    if (!testsupport::AiosmtpdServer::available())
        GTEST_SKIP() << "python3-aiosmtpd is not installed for /usr/bin/python3";
    const testsupport::TestCa ca;
    const QString refusal = u8("Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent");
    struct Case {
        const char* what;
        bool login;
        bool trust; // the answer to the question about the certificate
        bool arrives;
    };
    const Case cases[] = {
        {"Ingen pålogging", false, false, true},
        {"Enkel pålogging", true, false, false},
        {"Enkel pålogging, certificate trusted on request", true, true, true},
    };
    rt::state().logToFile = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::AiosmtpdOptions options;
        options.certificateFile = ca.selfSigned().certificateFile;
        options.keyFile = ca.selfSigned().keyFile;
        if (c.login) {
            options.user = QStringLiteral("kari");
            options.password = QStringLiteral("hemmelig");
        }
        testsupport::AiosmtpdServer server(options);
        smtp.serverName = server.hostPort();
        smtp.authenticationType = c.login ? 1 : 0;
        smtp.user = QStringLiteral("kari");
        smtp.password = QStringLiteral("hemmelig");
        rt::state().logLines.clear();
        guard.fake.questions.clear();
        guard.fake.answers = {c.trust};
        net::CertificatePins::instance().clear();

        const SendOutcome outcome = send({u8("ola@example.no"), u8("Selvsignert"), u8("Hei"), {}});

        const QList<testsupport::SinkMessage> got = server.messages();
        const QStringList warnings = logLines(QStringLiteral("ADVARSEL: "));
        // Only a log-in makes the certificate matter enough to ask.
        EXPECT_EQ(guard.fake.questions.size(), c.login ? 1 : 0);
        EXPECT_EQ(outcome.sent, c.arrives) << outcome.cause.toStdString();
        if (c.arrives && c.login) {
            ASSERT_EQ(got.size(), 1) << server.log().toStdString();
            EXPECT_TRUE(got[0].info.value(QStringLiteral("tls")).toBool());
            EXPECT_TRUE(warnings.isEmpty());
        } else if (c.arrives) {
            ASSERT_EQ(got.size(), 1) << server.log().toStdString();
            EXPECT_TRUE(got[0].info.value(QStringLiteral("tls")).toBool());
            EXPECT_EQ(warnings, QStringList{u8("ADVARSEL: SMTP: ") + refusal
                                            + u8("; sender likevel kryptert til ") + server.hostPort()
                                            + u8(" siden ingen pålogging brukes")});
        } else {
            EXPECT_TRUE(got.isEmpty());
            EXPECT_EQ(shownCause(outcome), refusal + u8("."));
            EXPECT_TRUE(warnings.isEmpty());
        }
    }
    EXPECT_TRUE(guard.fake.messages.isEmpty());
    net::CertificatePins::instance().clear();
}

} // namespace
