// The FTP transfer window against a real pyftpdlib server and against the
// scripted server for the faults: log lines, FTPfeilnr, the window's state
// and the local files after each path.
#include "serversfixture.h"

#include "felles.h"
#include "ftpserver.h"
#include "ftpunit.h"
#include "scriptedftpserver.h"
#include "testca.h"
#include "tls.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <gmock/gmock.h>

using servers::TFTPform;
using testing::ElementsAre;
using testing::HasSubstr;
using testsupport::FtpServer;
using testsupport::FtpServerOptions;
using testsupport::ScriptedFtpServer;
using testsupport::ServersFixture;
using testsupport::TestCa;
using testsupport::TestCertificate;

namespace {

using testsupport::operator<<;

std::string str(const QString& s)
{
    return s.toStdString();
}

std::vector<std::string> strs(const QStringList& list)
{
    std::vector<std::string> out;
    for (const QString& s : list)
        out.push_back(s.toStdString());
    return out;
}

QByteArray binaryContent(int size)
{
    QByteArray b;
    b.reserve(size);
    for (int i = 0; b.size() < size; ++i) {
        b.append(char((i * 7) % 256));
        if (i % 89 == 0)
            b.append("\r\n\n\r\x1a");
    }
    b.truncate(size);
    return b;
}

// Records what a widget showed each time it was painted.
class PaintRecorder : public QObject {
public:
    PaintRecorder(QWidget* widget, std::function<QString()> what)
        : m_what(std::move(what))
    {
        widget->installEventFilter(this);
    }
    QStringList shown;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            shown.append(m_what());
        return false;
    }

private:
    std::function<QString()> m_what;
};

// ---- Paths beside the target ----

struct PathCase {
    const char* name;
    const char* target;
    const char* temporary;
    const char* backup;
};

class TransferPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(TransferPathTest, TemporaryAndBackupStayBesideTheTarget)
{
    const PathCase& c = GetParam();
    EXPECT_EQ(servers::transferPath(QString::fromUtf8(c.target), QStringLiteral("tmp")), QString::fromUtf8(c.temporary));
    EXPECT_EQ(servers::transferPath(QString::fromUtf8(c.target), QStringLiteral("old")), QString::fromUtf8(c.backup));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransferPathTest,
    testing::Values(
        PathCase{"Plain", "/data/priser.txt", "/data/priser.tmp", "/data/priser.old"},
        PathCase{"DotInFolder", "/home/ola/.local/share/Tavlund/data/priser.txt",
                 "/home/ola/.local/share/Tavlund/data/priser.tmp", "/home/ola/.local/share/Tavlund/data/priser.old"},
        PathCase{"DottedFolderName", "/ny.mappe/priser.txt", "/ny.mappe/priser.tmp", "/ny.mappe/priser.old"},
        PathCase{"FirstDotOfTheName", "/data/arkiv.tar.gz", "/data/arkiv.tmp", "/data/arkiv.old"},
        PathCase{"NoExtension", "/data/priser", "/data/priser.tmp", "/data/priser.old"},
        PathCase{"AlreadyTmp", "/data/priser.tmp", "/data/priser.tmp.tmp", "/data/priser.old"},
        PathCase{"AlreadyOld", "/data/priser.old", "/data/priser.tmp", "/data/priser.old.old"},
        PathCase{"NoFolder", "priser.txt", "priser.tmp", "priser.old"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The window ----

class FtpFormTest : public ServersFixture {
protected:
    void SetUp() override
    {
        ServersFixture::SetUp();
        form = std::make_unique<TFTPform>();
        form->IdFTP1.timeouts = {5000, 20000};
        // The window's own handlers run; the test also notes each state.
        auto connected = form->IdFTP1.onConnected;
        form->IdFTP1.onConnected = [this, connected] {
            states.append(QStringLiteral("Tilkoblet"));
            captions.append(form->windowTitle());
            connected();
        };
        auto disconnected = form->IdFTP1.onDisconnected;
        form->IdFTP1.onDisconnected = [this, disconnected] {
            states.append(QStringLiteral("Frakoblet"));
            disconnected();
        };
        data = folder(QStringLiteral("data"));
    }
    void TearDown() override
    {
        form.reset();
        ServersFixture::TearDown();
    }

    void useServer(std::uint16_t port, const QString& user, const QString& password)
    {
        writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("127.0.0.1")},
                                             {QStringLiteral("port"), QString::number(port)},
                                             {QStringLiteral("username"), user},
                                             {QStringLiteral("password"), rt::ScrambleText(password)}});
    }

    static qint32 feilnr() { return servers::ftpSettings().FTPfeilnr; }
    QString panel(int i) const { return form->Panels[std::size_t(i)]->text(); }

    // What a download of name into data/ logs up to the transfer.
    QStringList downloadStart(const QString& name, const QString& remote, const QString& user, qint64 size) const
    {
        return {QStringLiteral("FTP: Starter ny sesjon for nedlasting av %1 til %2/").arg(name, data),
                QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker ") + user,
                QStringLiteral("FTP: filstørrelse %1").arg(size),
                QStringLiteral("FTP: Tilkoblet, henter filen ") + remote};
    }

    std::unique_ptr<TFTPform> form;
    QString data;
    QStringList states;
    QStringList captions;
};

// ---- Against pyftpdlib ----

class FtpFormRealTest : public FtpFormTest {
protected:
    void SetUp() override
    {
        if (!FtpServer::available())
            GTEST_SKIP() << "/usr/bin/python3 with pyftpdlib (python3-pyftpdlib) is not installed";
        FtpFormTest::SetUp();
    }

    void start(const FtpServerOptions& options = {})
    {
        server = std::make_unique<FtpServer>(options);
        useServer(server->port(), server->user(), server->password());
    }

    std::unique_ptr<FtpServer> server;
};

struct RoundTripCase {
    const char* name;
    QByteArray content;
    const char* folder; // FTPmappe as the caller sets it
};

class FtpRoundTripTest : public FtpFormRealTest, public testing::WithParamInterface<RoundTripCase> {};

TEST_P(FtpRoundTripTest, UploadThenFirstAndReplacingDownload)
{
    const RoundTripCase& c = GetParam();
    start();
    const QString folderName = QString::fromUtf8(c.folder);
    const QString remoteFolder = folderName.isEmpty() || folderName.endsWith(QLatin1Char('/'))
        ? folderName
        : folderName + QLatin1Char('/');
    if (!folderName.isEmpty())
        QDir().mkpath(server->path(folderName));
    const QString name = QStringLiteral("priser.dat");
    const QString local = data + QLatin1Char('/') + name;
    const qint64 size = c.content.size();
    writeAll(local, c.content);

    // Upload.
    servers::ftpSettings().FTPmappe = folderName;
    PaintRecorder bar(form->ProgressBar1, [this] { return QString::number(form->ProgressBar1->value()); });
    form->SendFil(local);
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                                       QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"),
                                       QStringLiteral("FTP: Kobler fra.")}));
    EXPECT_EQ(server->readFile(remoteFolder + name), c.content) << server->log().toStdString();
    EXPECT_EQ(servers::ftpSettings().FTPmappe, remoteFolder);
    EXPECT_EQ(form->progressMaximum(), size);
    EXPECT_EQ(form->progressPosition(), size);
    EXPECT_EQ(form->ProgressBar1->maximum(), std::max<qint64>(size, 1));
    EXPECT_EQ(form->ProgressBar1->value(), size);
    EXPECT_EQ(panel(0), QString::number(size));
    EXPECT_EQ(panel(1), QStringLiteral("Frakoblet"));
    EXPECT_EQ(states, (QStringList{QStringLiteral("Tilkoblet"), QStringLiteral("Frakoblet")}));
    EXPECT_FALSE(form->isVisible());
    if (size > 0) {
        ASSERT_FALSE(bar.shown.isEmpty()) << "the bar is repainted while the transfer runs";
        EXPECT_EQ(bar.shown.last(), QString::number(size));
    }

    // First download: nothing to keep, only the new file is renamed in place.
    QFile::remove(local);
    rt::state().LogLines.clear();
    const QString temporary = data + QStringLiteral("/priser.tmp");
    const QString backup = data + QStringLiteral("/priser.old");
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 0);
    QStringList expected = downloadStart(name, remoteFolder + name, QStringLiteral("kari"), size);
    expected << QStringLiteral("FTP: Kobler fra.");
    if (size > 0)
        expected << QStringLiteral("FTP: endret navn på %1 til %2").arg(temporary, local);
    EXPECT_EQ(logTexts(), expected);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->progressMaximum(), size);
    EXPECT_EQ(form->progressPosition(), size);
    if (size > 0) {
        EXPECT_EQ(readAll(local), c.content);
        EXPECT_FALSE(QFileInfo::exists(temporary));
    } else {
        // An empty download is never put in place: it stays as the temporary file.
        EXPECT_FALSE(QFileInfo::exists(local));
        EXPECT_TRUE(QFileInfo::exists(temporary));
        EXPECT_EQ(QFileInfo(temporary).size(), 0);
        return;
    }
    EXPECT_FALSE(QFileInfo::exists(backup));

    // Replacing download: the old file becomes the backup; a later one
    // deletes the previous backup first.
    writeAll(local, "gammelt innhold");
    writeAll(backup, "eldste innhold");
    rt::state().LogLines.clear();
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 0);
    expected = downloadStart(name, remoteFolder + name, QStringLiteral("kari"), size);
    expected << QStringLiteral("FTP: Kobler fra.") << QStringLiteral("FTP: slettet midlertidig fil: ") + backup
             << QStringLiteral("FTP: endret navn på %1 til %2").arg(local, backup)
             << QStringLiteral("FTP: endret navn på %1 til %2").arg(temporary, local);
    EXPECT_EQ(logTexts(), expected);
    EXPECT_EQ(readAll(local), c.content);
    EXPECT_EQ(readAll(backup), QByteArray("gammelt innhold"));
    EXPECT_FALSE(QFileInfo::exists(temporary));
}

INSTANTIATE_TEST_SUITE_P(
    Files, FtpRoundTripTest,
    testing::Values(RoundTripCase{"Empty", QByteArray(), ""}, RoundTripCase{"EmptyInFolder", QByteArray(), "inn"},
                    RoundTripCase{"Text", "Vare;Pris\r\nEple;12,50\nPære;9\r\n", ""},
                    RoundTripCase{"TextInFolder", "Vare;Pris\r\nEple;12,50\nPære;9\r\n", "inn"},
                    RoundTripCase{"BinaryInSlashedFolder", binaryContent(70000), "inn/"},
                    RoundTripCase{"FiveMegabytesBinary", binaryContent(5 * 1024 * 1024), "inn"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpFormRealTest, TheStatusPanelsAndTheLabelAreRepaintedWhileATransferRuns)
{
    start();
    const QByteArray content = binaryContent(3 * 1024 * 1024);
    server->writeFile(QStringLiteral("stor.bin"), content);
    PaintRecorder counts(form->Panels[0], [this] { return panel(0); });
    PaintRecorder label(form->ftpfil, [this] { return form->ftpfil->text(); });
    form->HentFil(data + QStringLiteral("/stor.bin"));
    ASSERT_EQ(feilnr(), 0);

    ASSERT_GE(counts.shown.size(), 3);
    QList<qint64> numbers;
    for (const QString& s : counts.shown)
        numbers.append(s.toLongLong());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(numbers.last(), content.size());
    EXPECT_TRUE(label.shown.contains(QStringLiteral("stor.bin")));
}

TEST_F(FtpFormRealTest, DownloadFallsBackToActiveModeWhenPassiveIsBroken)
{
    FtpServerOptions options;
    options.brokenPassive = true;
    start(options);
    server->writeFile(QStringLiteral("priser.txt"), "Eple;12\r\n");
    form->HentFil(data + QStringLiteral("/priser.txt"));
    EXPECT_EQ(feilnr(), 0);
    EXPECT_FALSE(form->IdFTP1.lastTransferPassive());
    EXPECT_EQ(readAll(data + QStringLiteral("/priser.txt")), QByteArray("Eple;12\r\n"));
}

TEST_F(FtpFormRealTest, MissingRemoteFileEndsEarlyAndLeavesTheWindowShown)
{
    start();
    const QString local = data + QStringLiteral("/mangler.txt");
    writeAll(local, "lokalt");
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for nedlasting av mangler.txt til ") +
                                           data + QLatin1Char('/'),
                                       QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"),
                                       QStringLiteral("FTP: finner ikke filen mangler.txt, avbryter forbindelse"),
                                       QStringLiteral("FTP: 127.0.0.1 frakoblet")}));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(panel(1), QStringLiteral("Frakoblet"));
    EXPECT_EQ(readAll(local), QByteArray("lokalt"));
    EXPECT_EQ(QDir(data).entryList(QDir::Files), QStringList{QStringLiteral("mangler.txt")});
}

TEST_F(FtpFormRealTest, WrongPasswordGives502OnUploadAnd501OnDownload)
{
    start();
    useServer(server->port(), server->user(), QStringLiteral("feil"));
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "lokalt");

    form->SendFil(local);
    EXPECT_EQ(feilnr(), 502);
    EXPECT_THAT(strs(logTexts()), ElementsAre(HasSubstr("opplasting"), "FTP: Kobler til 127.0.0.1 som bruker kari",
                                        "FTP: Feil nr. 502, kunne ikke koble til"));
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(server->exists(QStringLiteral("priser.txt")));

    rt::state().LogLines.clear();
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 501);
    EXPECT_THAT(strs(logTexts()), ElementsAre(HasSubstr("nedlasting"), "FTP: Kobler til 127.0.0.1 som bruker kari",
                                        "FTP: Feil nr. 501, kunne ikke koble til 127.0.0.1 med brukernavn kari"));
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(readAll(local), QByteArray("lokalt"));
}

TEST_F(FtpFormRealTest, ABackupThatCannotBeDeletedLeavesTheNewFileInTheTemporaryOneAndSays503)
{
    start();
    server->writeFile(QStringLiteral("priser.txt"), "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    const QString temporary = data + QStringLiteral("/priser.tmp");
    writeAll(local, "gammelt");
    writeAll(data + QStringLiteral("/priser.old/fil"), "i veien"); // a folder cannot be deleted as a file

    form->HentFil(local);
    EXPECT_EQ(feilnr(), 503);
    EXPECT_EQ(logTexts().last(),
              QStringLiteral("FEIL: FTP: Feil nr. 503, kan ikke sette den nye filen på plass som %1; den ligger i %2")
                  .arg(local, temporary));
    EXPECT_EQ(rt::state().ErrorCount, 1);
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_EQ(readAll(temporary), QByteArray("nytt"));
}

TEST_F(FtpFormRealTest, DownloadIntoADottedFolderKeepsItsFilesThere)
{
    start();
    server->writeFile(QStringLiteral("priser.txt"), "nytt");
    const QString dotted = folder(QStringLiteral("ny.mappe"));
    const QString local = dotted + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");
    const QStringList rootBefore = QDir(guard.fake.root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    form->HentFil(local);
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(readAll(local), QByteArray("nytt"));
    EXPECT_EQ(readAll(dotted + QStringLiteral("/priser.old")), QByteArray("gammelt"));
    EXPECT_EQ(QDir(guard.fake.root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), rootBefore);
}

// ---- Explicit FTPS: the profile's "SSL" ----

const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

class FtpFormTlsTest : public FtpFormRealTest {
protected:
    void SetUp() override
    {
        FtpFormRealTest::SetUp();
        if (IsSkipped())
            return;
        net::setExtraTrustedCaFile(testCa().caFile());
    }
    void TearDown() override
    {
        net::setExtraTrustedCaFile({});
        FtpFormRealTest::TearDown();
    }

    // A server requiring TLS for login and data, with certificate.
    void startTls(const TestCertificate& certificate)
    {
        FtpServerOptions options;
        options.tlsCertificateFile = certificate.certificateFile;
        options.tlsKeyFile = certificate.keyFile;
        start(options);
        useSsl(true);
    }

    static void useSsl(bool on)
    {
        writeProfile(QStringLiteral("FTP"), {{QStringLiteral("SSL"), on ? QStringLiteral("1") : QStringLiteral("0")}});
    }
};

TEST_F(FtpFormTlsTest, WithSslUploadAndDownloadRoundTripByteForByte)
{
    startTls(testCa().good());
    const QByteArray content = binaryContent(2 * 1024 * 1024 + 17);
    const QString local = data + QStringLiteral("/priser.dat");
    writeAll(local, content);

    form->SendFil(local);
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                                       QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"),
                                       QStringLiteral("FTP: Kobler fra.")}));
    EXPECT_TRUE(server->readFile(QStringLiteral("priser.dat")) == content) << server->log().toStdString();

    QFile::remove(local);
    rt::state().LogLines.clear();
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(logTexts(), downloadStart(QStringLiteral("priser.dat"), QStringLiteral("priser.dat"),
                                        QStringLiteral("kari"), content.size())
                  << QStringLiteral("FTP: Kobler fra.")
                  << QStringLiteral("FTP: endret navn på %1 til %2").arg(data + QStringLiteral("/priser.tmp"), local));
    EXPECT_TRUE(readAll(local) == content);
    // Both sessions began with AUTH TLS (the server would have refused a
    // login without it).
    QList<QByteArray> logins;
    for (const QByteArray& verb : server->commands()) {
        if (verb == "AUTH" || verb == "USER")
            logins.append(verb);
    }
    EXPECT_EQ(logins, (QList<QByteArray>{"AUTH", "USER", "AUTH", "USER"}));
}

struct RefusedCertificateCase {
    const char* name;
    const TestCertificate& (TestCa::*certificate)() const;
    const char* cause; // what the detailed log names after "FTP: Årsak: "
};

class FtpFormCertificateTest : public FtpFormTlsTest, public testing::WithParamInterface<RefusedCertificateCase> {};

TEST_P(FtpFormCertificateTest, UploadSays502AndDownload501WithTheCertificateAsCause)
{
    const RefusedCertificateCase& c = GetParam();
    startTls((testCa().*c.certificate)());
    rt::state().VerboseLogging = true;
    server->writeFile(QStringLiteral("priser.txt"), "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");
    const QString cause = QStringLiteral("FTP: Årsak: ") + QString::fromUtf8(c.cause);

    form->SendFil(local);
    EXPECT_EQ(feilnr(), 502);
    EXPECT_EQ(logTexts().mid(2), (QStringList{QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"), cause}));
    EXPECT_EQ(server->readFile(QStringLiteral("priser.txt")), QByteArray("nytt"));

    rt::state().LogLines.clear();
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 501);
    EXPECT_EQ(logTexts().mid(2),
              (QStringList{QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til 127.0.0.1 med brukernavn kari"),
                           cause}));
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(server->commands(), (QList<QByteArray>{"AUTH", "AUTH"})) << "never USER or PASS";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpFormCertificateTest,
    testing::Values(
        RefusedCertificateCase{"UnknownIssuer", &TestCa::unknownIssuer,
                               "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        RefusedCertificateCase{"Expired", &TestCa::expired,
                               "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
        RefusedCertificateCase{"WrongName", &TestCa::wrongName,
                               "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpFormTlsTest, WithSslAPlainServerGetsNoLogin)
{
    start();
    useSsl(true);
    rt::state().VerboseLogging = true;
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "lokalt");
    form->SendFil(local);
    EXPECT_EQ(feilnr(), 502);
    EXPECT_THAT(str(logTexts().last()), HasSubstr("avviste kryptert forbindelse (AUTH TLS): 500"));
    EXPECT_FALSE(server->exists(QStringLiteral("priser.txt")));
    EXPECT_EQ(server->commands(), QList<QByteArray>{"AUTH"});
}

TEST_F(FtpFormTlsTest, WithoutSslAPlainServerIsUsedAsBefore)
{
    start();
    useSsl(false);
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "Eple;12\r\n");
    form->SendFil(local);
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(server->readFile(QStringLiteral("priser.txt")), QByteArray("Eple;12\r\n"));
    EXPECT_FALSE(server->commands().contains("AUTH"));
}

// ---- Against the scripted server ----

class FtpFormScriptedTest : public FtpFormTest {
protected:
    void SetUp() override
    {
        FtpFormTest::SetUp();
        useServer(server.port(), QStringLiteral("ola"), QStringLiteral("hemmelig"));
    }

    ScriptedFtpServer server;
};

TEST_F(FtpFormScriptedTest, UploadOfAMissingOrReadOnlyFileReadsNoProfileAndConnectsNowhere)
{
    const QString readOnly = data + QStringLiteral("/lest.txt");
    writeAll(readOnly, "kan ikke skrives");
    QFile::setPermissions(readOnly, QFile::ReadOwner);
    for (const QString& local : {data + QStringLiteral("/finnes-ikke.txt"), readOnly}) {
        rt::state().LogLines.clear();
        form->SendFil(local);
        EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                                           QStringLiteral("FTP: Kan ikke finne filstørrelse, avbryter.")}));
        EXPECT_EQ(feilnr(), 0);
        EXPECT_FALSE(form->isVisible());
    }
    EXPECT_EQ(server.sessionCount(), 0);
    EXPECT_EQ(servers::ftpSettings().FTPserver, QStringLiteral("ftp.tavlund.example"));
}

TEST_F(FtpFormScriptedTest, TheCaptionShowsTheServerOfThePreviousOperation)
{
    server.setFile("a.txt", "a");
    form->HentFil(data + QStringLiteral("/a.txt"));
    form->HentFil(data + QStringLiteral("/a.txt"));
    EXPECT_EQ(captions, (QStringList{QStringLiteral("ftp.tavlund.example"), QStringLiteral("127.0.0.1")}));
    EXPECT_EQ(form->ftpfil->text(), QStringLiteral("a.txt"));
}

TEST_F(FtpFormScriptedTest, UploadWithoutFolderGoesToTheLoginFolderUnderTheBareName)
{
    writeAll(data + QStringLiteral("/rapport.csv"), "1;2;3\n");
    form->SendFil(data + QStringLiteral("/rapport.csv"));
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(server.file("rapport.csv"), QByteArray("1;2;3\n"));
    EXPECT_TRUE(server.received().contains("STOR rapport.csv"));
    EXPECT_EQ(servers::ftpSettings().FTPmappe, QString());
}

struct RefusedCase {
    const char* name;
    QByteArray verb;
    QByteArray reply;
};

class FtpFormLoginRefusedTest : public FtpFormScriptedTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(FtpFormLoginRefusedTest, UploadSays502AndDownloadSays501)
{
    server.setReply(GetParam().verb, GetParam().reply);
    server.setFile("priser.txt", "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");

    form->SendFil(local);
    EXPECT_EQ(feilnr(), 502);
    EXPECT_EQ(logTexts().last(), QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"));
    EXPECT_EQ(server.file("priser.txt"), QByteArray("nytt"));

    rt::state().LogLines.clear();
    form->HentFil(local);
    EXPECT_EQ(feilnr(), 501);
    EXPECT_EQ(logTexts().last(), QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til 127.0.0.1 med brukernavn ola"));
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/priser.tmp")));
    EXPECT_FALSE(server.receivedVerbs().contains("RETR"));
    EXPECT_FALSE(form->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpFormLoginRefusedTest,
                         testing::Values(RefusedCase{"Password", "PASS", "530 Innlogging feilet."},
                                         RefusedCase{"Greeting", "GREETING", "421 Tjenesten er ikke tilgjengelig."},
                                         RefusedCase{"BinaryType", "TYPE", "504 Ikke støttet."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpFormScriptedTest, WithDetailedLoggingTheCauseFollowsTheErrorNumber)
{
    rt::state().VerboseLogging = true;
    server.setReply("PASS", "530 Innlogging feilet.");
    form->HentFil(data + QStringLiteral("/priser.txt"));
    EXPECT_EQ(logTexts().last(),
              QStringLiteral("FTP: Årsak: Innlogging på 127.0.0.1:%1 avvist: 530 Innlogging feilet.").arg(server.port()));
}

TEST_F(FtpFormScriptedTest, SizeNotAnsweredWith213IsAFileNotFound)
{
    server.setFile("priser.txt", "nytt");
    server.setReply("SIZE", "502 SIZE ikke implementert.");
    form->HentFil(data + QStringLiteral("/priser.txt"));
    EXPECT_EQ(feilnr(), 0);
    EXPECT_EQ(logTexts().mid(2), (QStringList{QStringLiteral("FTP: finner ikke filen priser.txt, avbryter forbindelse"),
                                              QStringLiteral("FTP: 127.0.0.1 frakoblet")}));
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(server.receivedVerbs().contains("RETR"));
    EXPECT_EQ(server.receivedVerbs().last(), QByteArray("QUIT"));
}

struct CutCase {
    const char* name;
    QByteArray finalReply; // empty: the control connection is dropped too
};

class FtpFormCutTest : public FtpFormScriptedTest, public testing::WithParamInterface<CutCase> {};

TEST_P(FtpFormCutTest, DownloadCutOffMidwaySays500AndLeavesTheLocalFile)
{
    const QByteArray content = binaryContent(400000);
    server.setFile("inn/priser.bin", content);
    server.cutTransfersAfter(150000, GetParam().finalReply);
    servers::ftpSettings().FTPmappe = QStringLiteral("inn/");
    const QString local = data + QStringLiteral("/priser.bin");
    writeAll(local, "gammelt");

    form->HentFil(local);
    EXPECT_EQ(feilnr(), 500);
    QStringList expected = downloadStart(QStringLiteral("priser.bin"), QStringLiteral("inn/priser.bin"),
                                         QStringLiteral("ola"), content.size());
    expected << QStringLiteral("FTP: Feil nr. 500, kan ikke laste ned filen %1. Sjekk at filen ikke er i bruk.").arg(local)
             << QStringLiteral("FTP: Kobler fra.");
    EXPECT_EQ(logTexts(), expected);
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_EQ(readAll(data + QStringLiteral("/priser.tmp")), content.left(150000));
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/priser.old")));
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->IdFTP1.connected());
    EXPECT_EQ(form->progressPosition(), 150000);
}

TEST_P(FtpFormCutTest, UploadCutOffMidwaySays500ClosesTheConnectionAndTheWindow)
{
    const QByteArray content = binaryContent(3 * 1024 * 1024);
    server.cutTransfersAfter(100000, GetParam().finalReply);
    const QString local = data + QStringLiteral("/stor.bin");
    writeAll(local, content);

    form->SendFil(local);
    EXPECT_EQ(feilnr(), 500);
    const QStringList log = logTexts();
    ASSERT_EQ(log.size(), 4);
    EXPECT_THAT(str(log[2]), testing::StartsWith(str(QStringLiteral(
                                 "FEIL: FTP: Feil nr. 500, kan ikke laste opp filen %1 som stor.bin: ").arg(local))));
    EXPECT_EQ(log[3], QStringLiteral("FTP: Kobler fra."));
    EXPECT_EQ(rt::state().ErrorCount, 1);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->IdFTP1.connected());
    EXPECT_EQ(panel(1), QStringLiteral("Frakoblet"));
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpFormCutTest,
                         testing::Values(CutCase{"With426", "426 Forbindelsen ble brutt; overføringen avbrutt."},
                                         CutCase{"ConnectionDropped", {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpFormScriptedTest, AnnouncedSizeOfThreeGibibytesIsNoSizeFailure)
{
    // The server announces 3 GiB but delivers a few bytes with a success reply.
    server.setFile("stor.iso", "bare litt");
    server.setReply("SIZE", "213 3221225472");
    const QString local = data + QStringLiteral("/stor.iso");
    writeAll(local, "gammelt");

    form->HentFil(local);
    const QStringList log = logTexts();
    EXPECT_TRUE(log.contains(QStringLiteral("FTP: filstørrelse 3221225472")));
    EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const QString& l) { return l.contains(QLatin1String("501")); }));
    EXPECT_TRUE(server.receivedVerbs().contains("RETR"));
    EXPECT_EQ(form->progressMaximum(), 3221225472LL);
    EXPECT_EQ(form->ProgressBar1->maximum(), int(3221225472LL >> 1));
    // What arrived is short of the size announced: not a success.
    EXPECT_EQ(feilnr(), 500);
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
}

TEST_F(FtpFormTest, CountsAbove32BitsReachThePanelAndTheBar)
{
    form->setProgressMaximum(3221225472LL);
    form->IdFTP1Work(2147483649LL);
    EXPECT_EQ(panel(0), QStringLiteral("2147483649"));
    EXPECT_EQ(form->progressPosition(), 2147483649LL);
    EXPECT_EQ(form->ProgressBar1->value(), int(2147483649LL >> 1));
    form->IdFTP1Work(3221225472LL);
    EXPECT_EQ(form->ProgressBar1->value(), form->ProgressBar1->maximum());
}

} // namespace
