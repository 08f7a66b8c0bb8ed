// The FTP transfer window against a real pyftpdlib server and against the
// scripted server for the faults: log lines, results, the window's state
// and the local files after each path, and the window thread's life while
// the server is slow.
#include "serversfixture.h"

#include "ftpserver.h"
#include "ftptransferwindow.h"
#include "offthread.h"
#include "passwordscramble.h"
#include "scriptedftpserver.h"
#include "serverprofiledialog.h"
#include "testca.h"
#include "tls.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTimer>
#include <gmock/gmock.h>
#include <optional>

#include <sys/stat.h>

using servers::FtpResult;
using servers::FtpTransferWindow;
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

// Log lines with the unique part of a download's temporary name replaced by
// "XXXXXX", so they can be compared.
QStringList withFixedTemporaryNames(QStringList lines)
{
    static const QRegularExpression unique(QStringLiteral("\\.[^./ ]{6}\\.tmp\\b"));
    for (QString& line : lines)
        line.replace(unique, QStringLiteral(".XXXXXX.tmp"));
    return lines;
}

// The temporary files of downloads left in a folder.
QStringList temporaryFiles(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden);
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

// ---- The window ----

class FtpWindowTest : public ServersFixture {
protected:
    void SetUp() override
    {
        ServersFixture::SetUp();
        ftpWindow = std::make_unique<FtpTransferWindow>();
        ftpWindow->setProfileDialog(profileDialog);
        ftpWindow->client.timeouts = {5000, 20000};
        // The window's own handlers run; the test also notes each state, on
        // the window thread as the window does.
        auto connected = ftpWindow->client.onConnected;
        ftpWindow->client.onConnected = [this, connected] {
            QMetaObject::invokeMethod(
                ftpWindow.get(),
                [this] {
                    states.append(QStringLiteral("Tilkoblet"));
                    captions.append(ftpWindow->windowTitle());
                },
                Qt::QueuedConnection);
            connected();
        };
        auto disconnected = ftpWindow->client.onDisconnected;
        ftpWindow->client.onDisconnected = [this, disconnected] {
            QMetaObject::invokeMethod(
                ftpWindow.get(), [this] { states.append(QStringLiteral("Frakoblet")); }, Qt::QueuedConnection);
            disconnected();
        };
        data = folder(QStringLiteral("data"));
    }
    void TearDown() override
    {
        ftpWindow.reset();
        ServersFixture::TearDown();
    }

    void useServer(std::uint16_t port, const QString& user, const QString& password)
    {
        writeProfile(QStringLiteral("FTP"), {{QStringLiteral("server"), QStringLiteral("127.0.0.1")},
                                             {QStringLiteral("port"), QString::number(port)},
                                             {QStringLiteral("username"), user},
                                             {QStringLiteral("password"), rt::scrambleText(password)}});
    }

    QString panel(int i) const { return (i == 0 ? ftpWindow->byteCountPanel : ftpWindow->connectionPanel)->text(); }

    // What a download of name into data/ logs up to the transfer.
    QStringList downloadStart(const QString& name, const QString& remote, const QString& user, qint64 size) const
    {
        return {QStringLiteral("FTP: Starter ny sesjon for nedlasting av %1 til %2/").arg(name, data),
                QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker ") + user,
                QStringLiteral("FTP: filstørrelse %1").arg(size),
                QStringLiteral("FTP: Tilkoblet, henter filen ") + remote};
    }

    servers::ServerProfileDialog profileDialog;
    std::unique_ptr<FtpTransferWindow> ftpWindow;
    QString data;
    QStringList states;
    QStringList captions;
};

// ---- Against pyftpdlib ----

class FtpWindowRealTest : public FtpWindowTest {
protected:
    void SetUp() override
    {
        if (!FtpServer::available())
            GTEST_SKIP() << "/usr/bin/python3 with pyftpdlib (python3-pyftpdlib) is not installed";
        FtpWindowTest::SetUp();
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
    const char* folder; // the transfer settings' folder as the caller sets it
};

class FtpRoundTripTest : public FtpWindowRealTest, public testing::WithParamInterface<RoundTripCase> {};

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
    servers::ftpSettings().folder = folderName;
    PaintRecorder bar(ftpWindow->progressBar, [this] { return QString::number(ftpWindow->progressBar->value()); });
    EXPECT_EQ(ftpWindow->upload(local), FtpResult::Done);
    EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                                       QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"),
                                       QStringLiteral("FTP: Kobler fra.")}));
    EXPECT_EQ(server->readFile(remoteFolder + name), c.content) << server->log().toStdString();
    EXPECT_EQ(servers::ftpSettings().folder, remoteFolder);
    EXPECT_EQ(ftpWindow->progressMaximum(), size);
    EXPECT_EQ(ftpWindow->progressPosition(), size);
    EXPECT_EQ(ftpWindow->progressBar->maximum(), std::max<qint64>(size, 1));
    EXPECT_EQ(ftpWindow->progressBar->value(), size);
    EXPECT_EQ(panel(0), QString::number(size));
    EXPECT_EQ(panel(1), QStringLiteral("Frakoblet"));
    EXPECT_EQ(states, (QStringList{QStringLiteral("Tilkoblet"), QStringLiteral("Frakoblet")}));
    EXPECT_FALSE(ftpWindow->isVisible());
    if (size > 0) {
        ASSERT_FALSE(bar.shown.isEmpty()) << "the bar is repainted while the transfer runs";
        EXPECT_EQ(bar.shown.last(), QString::number(size));
    }

    // First download: nothing to keep, only the new file is renamed in place
    // (an empty one too: it is a file like any other).
    QFile::remove(local);
    rt::state().logLines.clear();
    const QString temporary = local + QStringLiteral(".XXXXXX.tmp");
    const QString backup = local + QStringLiteral(".old");
    EXPECT_EQ(ftpWindow->download(local), FtpResult::Done);
    QStringList expected = downloadStart(name, remoteFolder + name, QStringLiteral("kari"), size);
    expected << QStringLiteral("FTP: Kobler fra.") << QStringLiteral("FTP: endret navn på %1 til %2").arg(temporary, local);
    EXPECT_EQ(withFixedTemporaryNames(logTexts()), expected);
    EXPECT_FALSE(ftpWindow->isVisible());
    EXPECT_EQ(ftpWindow->progressMaximum(), size);
    EXPECT_EQ(ftpWindow->progressPosition(), size);
    EXPECT_EQ(readAll(local), c.content);
    EXPECT_TRUE(QFileInfo::exists(local));
    EXPECT_EQ(temporaryFiles(data), QStringList());
    EXPECT_FALSE(QFileInfo::exists(backup));

    // Replacing download: the old file becomes the backup; a later one
    // deletes the previous backup first.
    writeAll(local, "gammelt innhold");
    writeAll(backup, "eldste innhold");
    rt::state().logLines.clear();
    EXPECT_EQ(ftpWindow->download(local), FtpResult::Done);
    expected = downloadStart(name, remoteFolder + name, QStringLiteral("kari"), size);
    expected << QStringLiteral("FTP: Kobler fra.") << QStringLiteral("FTP: slettet midlertidig fil: ") + backup
             << QStringLiteral("FTP: endret navn på %1 til %2").arg(local, backup)
             << QStringLiteral("FTP: endret navn på %1 til %2").arg(temporary, local);
    EXPECT_EQ(withFixedTemporaryNames(logTexts()), expected);
    EXPECT_EQ(readAll(local), c.content);
    EXPECT_EQ(readAll(backup), QByteArray("gammelt innhold"));
    EXPECT_EQ(temporaryFiles(data), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Files, FtpRoundTripTest,
    testing::Values(RoundTripCase{"Empty", QByteArray(), ""}, RoundTripCase{"EmptyInFolder", QByteArray(), "inn"},
                    RoundTripCase{"Text", "Vare;Pris\r\nEple;12,50\nPære;9\r\n", ""},
                    RoundTripCase{"TextInFolder", "Vare;Pris\r\nEple;12,50\nPære;9\r\n", "inn"},
                    RoundTripCase{"BinaryInSlashedFolder", binaryContent(70000), "inn/"},
                    RoundTripCase{"FiveMegabytesBinary", binaryContent(5 * 1024 * 1024), "inn"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpWindowRealTest, TheStatusPanelsAndTheLabelAreRepaintedWhileATransferRuns)
{
    start();
    const QByteArray content = binaryContent(3 * 1024 * 1024);
    server->writeFile(QStringLiteral("stor.bin"), content);
    PaintRecorder counts(ftpWindow->byteCountPanel, [this] { return panel(0); });
    PaintRecorder label(ftpWindow->fileLabel, [this] { return ftpWindow->fileLabel->text(); });
    ASSERT_EQ(ftpWindow->download(data + QStringLiteral("/stor.bin")), FtpResult::Done);

    ASSERT_GE(counts.shown.size(), 3);
    QList<qint64> numbers;
    for (const QString& s : counts.shown)
        numbers.append(s.toLongLong());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(numbers.last(), content.size());
    EXPECT_TRUE(label.shown.contains(QStringLiteral("stor.bin")));
}

TEST_F(FtpWindowRealTest, DownloadFallsBackToActiveModeWhenPassiveIsBroken)
{
    FtpServerOptions options;
    options.brokenPassive = true;
    start(options);
    server->writeFile(QStringLiteral("priser.txt"), "Eple;12\r\n");
    EXPECT_EQ(ftpWindow->download(data + QStringLiteral("/priser.txt")), FtpResult::Done);
    EXPECT_FALSE(ftpWindow->client.lastTransferPassive());
    EXPECT_EQ(readAll(data + QStringLiteral("/priser.txt")), QByteArray("Eple;12\r\n"));
}

// ---- What each transfer leaves: codes, log lines, files on disk ----

struct DiskFile {
    const char* name;
    QByteArray content;
    int mode = 0; // permission bits set before, or expected after; 0: not looked at
};

struct Transfer {
    bool upload;
    const char* name; // in data/
};

struct OutcomeCase {
    const char* name;
    std::vector<DiskFile> localBefore;
    std::vector<DiskFile> remoteBefore;
    std::vector<Transfer> transfers;
    std::vector<FtpResult> results; // of each transfer
    QStringList log; // of the last transfer; "{data}" stands for the local folder
    std::vector<DiskFile> localAfter; // every file in the local folder
    std::vector<DiskFile> remoteAfter;
    bool windowShown;
    bool connects;
};

int modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

class FtpOutcomeTest : public FtpWindowRealTest, public testing::WithParamInterface<OutcomeCase> {};

TEST_P(FtpOutcomeTest, CodesLogLinesAndFilesOnDisk)
{
    const OutcomeCase& c = GetParam();
    start();
    for (const DiskFile& f : c.localBefore) {
        const QString path = data + QLatin1Char('/') + QString::fromUtf8(f.name);
        writeAll(path, f.content);
        if (f.mode) {
            ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(f.mode)), 0);
        }
    }
    for (const DiskFile& f : c.remoteBefore)
        server->writeFile(QString::fromUtf8(f.name), f.content);
    ASSERT_EQ(c.transfers.size(), c.results.size());

    for (std::size_t i = 0; i < c.transfers.size(); ++i) {
        rt::state().logLines.clear();
        const QString local = data + QLatin1Char('/') + QString::fromUtf8(c.transfers[i].name);
        const FtpResult result = c.transfers[i].upload ? ftpWindow->upload(local) : ftpWindow->download(local);
        EXPECT_EQ(result, c.results[i]) << c.transfers[i].name;
    }

    QStringList expectedLog;
    for (QString line : c.log)
        expectedLog << line.replace(QStringLiteral("{data}"), data);
    EXPECT_EQ(withFixedTemporaryNames(logTexts()), expectedLog);
    EXPECT_EQ(ftpWindow->isVisible(), c.windowShown);
    EXPECT_EQ(!server->commands().isEmpty(), c.connects);

    QStringList expectedNames;
    for (const DiskFile& f : c.localAfter)
        expectedNames << QString::fromUtf8(f.name);
    expectedNames.sort();
    EXPECT_EQ(QDir(data).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name), expectedNames);
    for (const DiskFile& f : c.localAfter) {
        const QString path = data + QLatin1Char('/') + QString::fromUtf8(f.name);
        EXPECT_EQ(readAll(path), f.content) << f.name;
        if (f.mode) {
            EXPECT_EQ(modeOf(path), f.mode) << f.name;
        }
    }
    for (const DiskFile& f : c.remoteAfter)
        EXPECT_EQ(server->readFile(QString::fromUtf8(f.name)), f.content) << f.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpOutcomeTest,
    testing::Values(
        OutcomeCase{"NoLocalFile",
                    {},
                    {},
                    {{true, "finnes-ikke.txt"}},
                    {FtpResult::NothingTransferred},
                    {QStringLiteral("FTP: Starter ny sesjon for opplasting av {data}/finnes-ikke.txt"),
                     QStringLiteral("FTP: Kan ikke finne filstørrelse, avbryter."),
                     QStringLiteral("FEIL: FTP: Feil nr. 504, kan ikke laste opp filen {data}/finnes-ikke.txt: "
                                    "filen finnes ikke")},
                    {},
                    {},
                    false,
                    false},
        OutcomeCase{"ReadOnlyLocalFile",
                    {{"lest.txt", "kan bare leses", 0400}},
                    {},
                    {{true, "lest.txt"}},
                    {FtpResult::Done},
                    {QStringLiteral("FTP: Starter ny sesjon for opplasting av {data}/lest.txt"),
                     QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"), QStringLiteral("FTP: Kobler fra.")},
                    {{"lest.txt", "kan bare leses", 0400}},
                    {{"lest.txt", "kan bare leses"}},
                    false,
                    true},
        OutcomeCase{"MissingRemoteFile",
                    {{"mangler.txt", "lokalt"}},
                    {},
                    {{false, "mangler.txt"}},
                    {FtpResult::NothingTransferred},
                    {QStringLiteral("FTP: Starter ny sesjon for nedlasting av mangler.txt til {data}/"),
                     QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"),
                     QStringLiteral("FTP: finner ikke filen mangler.txt, avbryter forbindelse"),
                     QStringLiteral("FTP: 127.0.0.1 frakoblet"),
                     QStringLiteral("FEIL: FTP: Feil nr. 504, kan ikke laste ned filen {data}/mangler.txt: "
                                    "127.0.0.1 har ingen fil mangler.txt (550 /mangler.txt is not retrievable.)")},
                    {{"mangler.txt", "lokalt"}},
                    {},
                    true,
                    true},
        OutcomeCase{"EmptyRemoteFile",
                    {{"tom.txt", "gammelt", 0640}},
                    {{"tom.txt", ""}},
                    {{false, "tom.txt"}},
                    {FtpResult::Done},
                    {QStringLiteral("FTP: Starter ny sesjon for nedlasting av tom.txt til {data}/"),
                     QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"), QStringLiteral("FTP: filstørrelse 0"),
                     QStringLiteral("FTP: Tilkoblet, henter filen tom.txt"), QStringLiteral("FTP: Kobler fra."),
                     QStringLiteral("FTP: endret navn på {data}/tom.txt til {data}/tom.txt.old"),
                     QStringLiteral("FTP: endret navn på {data}/tom.txt.XXXXXX.tmp til {data}/tom.txt")},
                    {{"tom.txt", "", 0640}, {"tom.txt.old", "gammelt", 0640}},
                    {},
                    false,
                    true},
        OutcomeCase{"TwoNamesSharingAStem",
                    {{"priser.txt", "gammel txt", 0644}, {"priser.csv", "gammel csv", 0600}},
                    {{"priser.txt", "ny txt"}, {"priser.csv", "ny csv"}},
                    {{false, "priser.txt"}, {false, "priser.csv"}},
                    {FtpResult::Done, FtpResult::Done},
                    {QStringLiteral("FTP: Starter ny sesjon for nedlasting av priser.csv til {data}/"),
                     QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"), QStringLiteral("FTP: filstørrelse 6"),
                     QStringLiteral("FTP: Tilkoblet, henter filen priser.csv"), QStringLiteral("FTP: Kobler fra."),
                     QStringLiteral("FTP: endret navn på {data}/priser.csv til {data}/priser.csv.old"),
                     QStringLiteral("FTP: endret navn på {data}/priser.csv.XXXXXX.tmp til {data}/priser.csv")},
                    {{"priser.txt", "ny txt", 0644},
                     {"priser.txt.old", "gammel txt", 0644},
                     {"priser.csv", "ny csv", 0600},
                     {"priser.csv.old", "gammel csv", 0600}},
                    {},
                    false,
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpWindowRealTest, WrongPasswordGives502OnUploadAnd501OnDownload)
{
    start();
    useServer(server->port(), server->user(), QStringLiteral("feil"));
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "lokalt");

    EXPECT_EQ(ftpWindow->upload(local), FtpResult::UploadConnectFailed);
    EXPECT_THAT(strs(logTexts()), ElementsAre(HasSubstr("opplasting"), "FTP: Kobler til 127.0.0.1 som bruker kari",
                                        "FTP: Feil nr. 502, kunne ikke koble til"));
    EXPECT_FALSE(ftpWindow->isVisible());
    EXPECT_FALSE(server->exists(QStringLiteral("priser.txt")));

    rt::state().logLines.clear();
    EXPECT_EQ(ftpWindow->download(local), FtpResult::DownloadConnectFailed);
    EXPECT_THAT(strs(logTexts()), ElementsAre(HasSubstr("nedlasting"), "FTP: Kobler til 127.0.0.1 som bruker kari",
                                        "FTP: Feil nr. 501, kunne ikke koble til 127.0.0.1 med brukernavn kari"));
    EXPECT_FALSE(ftpWindow->isVisible());
    EXPECT_EQ(readAll(local), QByteArray("lokalt"));
}

TEST_F(FtpWindowRealTest, ABackupThatCannotBeDeletedLeavesTheNewFileInTheTemporaryOneAndSays503)
{
    start();
    server->writeFile(QStringLiteral("priser.txt"), "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");
    writeAll(data + QStringLiteral("/priser.txt.old/fil"), "i veien"); // a folder cannot be deleted as a file

    EXPECT_EQ(ftpWindow->download(local), FtpResult::NotPutInPlace);
    EXPECT_EQ(withFixedTemporaryNames({lastLogText()}).constFirst(),
              QStringLiteral("FEIL: FTP: Feil nr. 503, kan ikke sette den nye filen på plass som %1; den ligger i %2")
                  .arg(local, local + QStringLiteral(".XXXXXX.tmp")));
    EXPECT_EQ(rt::state().errorCount, 1);
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    // The file the line names holds the new content.
    const QStringList kept = temporaryFiles(data);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_THAT(str(lastLogText()), testing::EndsWith(str(kept.first())));
    EXPECT_EQ(readAll(data + QLatin1Char('/') + kept.first()), QByteArray("nytt"));
}

TEST_F(FtpWindowRealTest, DownloadIntoADottedFolderKeepsItsFilesThere)
{
    start();
    server->writeFile(QStringLiteral("priser.txt"), "nytt");
    const QString dotted = folder(QStringLiteral("ny.mappe"));
    const QString local = dotted + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");
    const QStringList rootBefore = QDir(guard.fake.root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    EXPECT_EQ(ftpWindow->download(local), FtpResult::Done);
    EXPECT_EQ(readAll(local), QByteArray("nytt"));
    EXPECT_EQ(readAll(dotted + QStringLiteral("/priser.txt.old")), QByteArray("gammelt"));
    EXPECT_EQ(QDir(guard.fake.root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), rootBefore);
}

// ---- Explicit FTPS: the profile's "SSL" ----

const TestCa& testCa()
{
    static const TestCa ca;
    return ca;
}

class FtpWindowTlsTest : public FtpWindowRealTest {
protected:
    void SetUp() override
    {
        FtpWindowRealTest::SetUp();
        if (IsSkipped())
            return;
        net::setExtraTrustedCaFile(testCa().caFile());
    }
    void TearDown() override
    {
        net::setExtraTrustedCaFile({});
        FtpWindowRealTest::TearDown();
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

TEST_F(FtpWindowTlsTest, WithSslUploadAndDownloadRoundTripByteForByte)
{
    startTls(testCa().good());
    const QByteArray content = binaryContent(2 * 1024 * 1024 + 17);
    const QString local = data + QStringLiteral("/priser.dat");
    writeAll(local, content);

    EXPECT_EQ(ftpWindow->upload(local), FtpResult::Done);
    EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                                       QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker kari"),
                                       QStringLiteral("FTP: Kobler fra.")}));
    EXPECT_TRUE(server->readFile(QStringLiteral("priser.dat")) == content) << server->log().toStdString();

    QFile::remove(local);
    rt::state().logLines.clear();
    EXPECT_EQ(ftpWindow->download(local), FtpResult::Done);
    EXPECT_EQ(withFixedTemporaryNames(logTexts()), downloadStart(QStringLiteral("priser.dat"), QStringLiteral("priser.dat"),
                                        QStringLiteral("kari"), content.size())
                  << QStringLiteral("FTP: Kobler fra.")
                  << QStringLiteral("FTP: endret navn på %1 til %2").arg(local + QStringLiteral(".XXXXXX.tmp"), local));
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

class FtpWindowCertificateTest : public FtpWindowTlsTest, public testing::WithParamInterface<RefusedCertificateCase> {};

TEST_P(FtpWindowCertificateTest, UploadSays502AndDownload501WithTheCertificateAsCause)
{
    const RefusedCertificateCase& c = GetParam();
    startTls((testCa().*c.certificate)());
    rt::state().verboseLogging = true;
    server->writeFile(QStringLiteral("priser.txt"), "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");
    const QString cause = QStringLiteral("FTP: Årsak: ") + QString::fromUtf8(c.cause);

    EXPECT_EQ(ftpWindow->upload(local), FtpResult::UploadConnectFailed);
    EXPECT_EQ(logTexts().mid(2), (QStringList{QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"), cause}));
    EXPECT_EQ(server->readFile(QStringLiteral("priser.txt")), QByteArray("nytt"));

    rt::state().logLines.clear();
    EXPECT_EQ(ftpWindow->download(local), FtpResult::DownloadConnectFailed);
    EXPECT_EQ(logTexts().mid(2),
              (QStringList{QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til 127.0.0.1 med brukernavn kari"),
                           cause}));
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_FALSE(ftpWindow->isVisible());
    EXPECT_EQ(server->commands(), (QList<QByteArray>{"AUTH", "AUTH"})) << "never USER or PASS";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpWindowCertificateTest,
    testing::Values(
        RefusedCertificateCase{"UnknownIssuer", &TestCa::unknownIssuer,
                               "Sertifikatet til 127.0.0.1 kan ikke godtas: utstederen er ukjent"},
        RefusedCertificateCase{"Expired", &TestCa::expired,
                               "Sertifikatet til 127.0.0.1 kan ikke godtas: det er utløpt"},
        RefusedCertificateCase{"WrongName", &TestCa::wrongName,
                               "Sertifikatet til 127.0.0.1 kan ikke godtas: det gjelder ikke for dette navnet"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpWindowTlsTest, WithSslAPlainServerGetsNoLogin)
{
    start();
    useSsl(true);
    rt::state().verboseLogging = true;
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "lokalt");
    EXPECT_EQ(ftpWindow->upload(local), FtpResult::UploadConnectFailed);
    EXPECT_THAT(str(lastLogText()), HasSubstr("avviste kryptert forbindelse (AUTH TLS): 500"));
    EXPECT_FALSE(server->exists(QStringLiteral("priser.txt")));
    EXPECT_EQ(server->commands(), QList<QByteArray>{"AUTH"});
}

TEST_F(FtpWindowTlsTest, WithoutSslAPlainServerIsUsedAsBefore)
{
    start();
    useSsl(false);
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "Eple;12\r\n");
    EXPECT_EQ(ftpWindow->upload(local), FtpResult::Done);
    EXPECT_EQ(server->readFile(QStringLiteral("priser.txt")), QByteArray("Eple;12\r\n"));
    EXPECT_FALSE(server->commands().contains("AUTH"));
}

// ---- Against the scripted server ----

class FtpWindowScriptedTest : public FtpWindowTest {
protected:
    void SetUp() override
    {
        FtpWindowTest::SetUp();
        useServer(server.port(), QStringLiteral("ola"), QStringLiteral("hemmelig"));
    }

    ScriptedFtpServer server;
};

TEST_F(FtpWindowScriptedTest, UploadOfNoFileToSendSays504ReadsNoProfileAndConnectsNowhere)
{
    const QString missing = data + QStringLiteral("/finnes-ikke.txt");
    const QString folderName = folder(QStringLiteral("data/mappe.txt"));
    const std::pair<QString, QString> cases[] = {{missing, QStringLiteral("filen finnes ikke")},
                                                 {folderName, QStringLiteral("det er ikke en vanlig fil")}};
    for (const auto& [local, cause] : cases) {
        rt::state().logLines.clear();
        const FtpResult result = ftpWindow->upload(local);
        EXPECT_EQ(logTexts(),
                  (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                               QStringLiteral("FTP: Kan ikke finne filstørrelse, avbryter."),
                               QStringLiteral("FEIL: FTP: Feil nr. 504, kan ikke laste opp filen %1: %2").arg(local, cause)}));
        EXPECT_EQ(result, FtpResult::NothingTransferred);
        EXPECT_FALSE(ftpWindow->isVisible());
    }
    EXPECT_EQ(server.sessionCount(), 0);
    EXPECT_EQ(servers::ftpSettings().server, QStringLiteral("ftp.tavlund.example"));
}

TEST_F(FtpWindowScriptedTest, TheCaptionShowsTheServerOfThePreviousOperation)
{
    server.setFile("a.txt", "a");
    ftpWindow->download(data + QStringLiteral("/a.txt"));
    ftpWindow->download(data + QStringLiteral("/a.txt"));
    EXPECT_EQ(captions, (QStringList{QStringLiteral("ftp.tavlund.example"), QStringLiteral("127.0.0.1")}));
    EXPECT_EQ(ftpWindow->fileLabel->text(), QStringLiteral("a.txt"));
}

TEST_F(FtpWindowScriptedTest, UploadWithoutFolderGoesToTheLoginFolderUnderTheBareName)
{
    writeAll(data + QStringLiteral("/rapport.csv"), "1;2;3\n");
    EXPECT_EQ(ftpWindow->upload(data + QStringLiteral("/rapport.csv")), FtpResult::Done);
    EXPECT_EQ(server.file("rapport.csv"), QByteArray("1;2;3\n"));
    EXPECT_TRUE(server.received().contains("STOR rapport.csv"));
    EXPECT_EQ(servers::ftpSettings().folder, QString());
}

struct RefusedCase {
    const char* name;
    QByteArray verb;
    QByteArray reply;
};

class FtpWindowLoginRefusedTest : public FtpWindowScriptedTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(FtpWindowLoginRefusedTest, UploadSays502AndDownloadSays501)
{
    server.setReply(GetParam().verb, GetParam().reply);
    server.setFile("priser.txt", "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    writeAll(local, "gammelt");

    EXPECT_EQ(ftpWindow->upload(local), FtpResult::UploadConnectFailed);
    EXPECT_EQ(lastLogText(), QStringLiteral("FTP: Feil nr. 502, kunne ikke koble til"));
    EXPECT_EQ(server.file("priser.txt"), QByteArray("nytt"));

    rt::state().logLines.clear();
    EXPECT_EQ(ftpWindow->download(local), FtpResult::DownloadConnectFailed);
    EXPECT_EQ(lastLogText(), QStringLiteral("FTP: Feil nr. 501, kunne ikke koble til 127.0.0.1 med brukernavn ola"));
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_EQ(temporaryFiles(data), QStringList());
    EXPECT_FALSE(server.receivedVerbs().contains("RETR"));
    EXPECT_FALSE(ftpWindow->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpWindowLoginRefusedTest,
                         testing::Values(RefusedCase{"Password", "PASS", "530 Innlogging feilet."},
                                         RefusedCase{"Greeting", "GREETING", "421 Tjenesten er ikke tilgjengelig."},
                                         RefusedCase{"BinaryType", "TYPE", "504 Ikke støttet."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpWindowScriptedTest, WithDetailedLoggingTheCauseFollowsTheErrorNumber)
{
    rt::state().verboseLogging = true;
    server.setReply("PASS", "530 Innlogging feilet.");
    ftpWindow->download(data + QStringLiteral("/priser.txt"));
    EXPECT_EQ(lastLogText(),
              QStringLiteral("FTP: Årsak: Innlogging på 127.0.0.1:%1 avvist: 530 Innlogging feilet.").arg(server.port()));
}

TEST_F(FtpWindowScriptedTest, SizeNotAnsweredWith213IsAFileNotFound)
{
    server.setFile("priser.txt", "nytt");
    server.setReply("SIZE", "502 SIZE ikke implementert.");
    const QString local = data + QStringLiteral("/priser.txt");
    EXPECT_EQ(ftpWindow->download(local), FtpResult::NothingTransferred);
    EXPECT_EQ(logTexts().mid(2),
              (QStringList{QStringLiteral("FTP: finner ikke filen priser.txt, avbryter forbindelse"),
                           QStringLiteral("FTP: 127.0.0.1 frakoblet"),
                           QStringLiteral("FEIL: FTP: Feil nr. 504, kan ikke laste ned filen %1: 127.0.0.1 har ingen fil "
                                          "priser.txt (502 SIZE ikke implementert.)")
                               .arg(local)}));
    EXPECT_EQ(temporaryFiles(data), QStringList());
    EXPECT_TRUE(ftpWindow->isVisible());
    EXPECT_FALSE(server.receivedVerbs().contains("RETR"));
    ASSERT_FALSE(server.receivedVerbs().isEmpty());
    EXPECT_EQ(server.receivedVerbs().last(), QByteArray("QUIT"));
}

struct CutCase {
    const char* name;
    QByteArray finalReply; // empty: the control connection is dropped too
};

class FtpWindowCutTest : public FtpWindowScriptedTest, public testing::WithParamInterface<CutCase> {};

TEST_P(FtpWindowCutTest, DownloadCutOffMidwaySays500AndLeavesTheLocalFile)
{
    const QByteArray content = binaryContent(400000);
    server.setFile("inn/priser.bin", content);
    server.cutTransfersAfter(150000, GetParam().finalReply);
    servers::ftpSettings().folder = QStringLiteral("inn/");
    const QString local = data + QStringLiteral("/priser.bin");
    writeAll(local, "gammelt");

    EXPECT_EQ(ftpWindow->download(local), FtpResult::TransferFailed);
    QStringList expected = downloadStart(QStringLiteral("priser.bin"), QStringLiteral("inn/priser.bin"),
                                         QStringLiteral("ola"), content.size());
    expected << QStringLiteral("FTP: Feil nr. 500, kan ikke laste ned filen %1. Sjekk at filen ikke er i bruk.").arg(local)
             << QStringLiteral("FTP: Kobler fra.");
    EXPECT_EQ(logTexts(), expected);
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    // The part that arrived is not kept.
    EXPECT_EQ(QDir(data).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("priser.bin")});
    EXPECT_FALSE(ftpWindow->isVisible());
    EXPECT_FALSE(ftpWindow->client.connected());
    EXPECT_EQ(ftpWindow->progressPosition(), 150000);
}

TEST_P(FtpWindowCutTest, UploadCutOffMidwaySays500ClosesTheConnectionAndTheWindow)
{
    const QByteArray content = binaryContent(3 * 1024 * 1024);
    server.cutTransfersAfter(100000, GetParam().finalReply);
    const QString local = data + QStringLiteral("/stor.bin");
    writeAll(local, content);

    EXPECT_EQ(ftpWindow->upload(local), FtpResult::TransferFailed);
    const QStringList log = logTexts();
    ASSERT_EQ(log.size(), 4);
    EXPECT_THAT(str(log[2]), testing::StartsWith(str(QStringLiteral(
                                 "FEIL: FTP: Feil nr. 500, kan ikke laste opp filen %1 som stor.bin: ").arg(local))));
    EXPECT_EQ(log[3], QStringLiteral("FTP: Kobler fra."));
    EXPECT_EQ(rt::state().errorCount, 1);
    EXPECT_FALSE(ftpWindow->isVisible());
    EXPECT_FALSE(ftpWindow->client.connected());
    EXPECT_EQ(panel(1), QStringLiteral("Frakoblet"));
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpWindowCutTest,
                         testing::Values(CutCase{"With426", "426 Forbindelsen ble brutt; overføringen avbrutt."},
                                         CutCase{"ConnectionDropped", {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpWindowScriptedTest, AnnouncedSizeOfThreeGibibytesIsNoSizeFailure)
{
    // The server announces 3 GiB but delivers a few bytes with a success reply.
    server.setFile("stor.iso", "bare litt");
    server.setReply("SIZE", "213 3221225472");
    const QString local = data + QStringLiteral("/stor.iso");
    writeAll(local, "gammelt");

    const FtpResult result = ftpWindow->download(local);
    const QStringList log = logTexts();
    EXPECT_TRUE(log.contains(QStringLiteral("FTP: filstørrelse 3221225472")));
    EXPECT_FALSE(std::any_of(log.begin(), log.end(), [](const QString& l) { return l.contains(QLatin1String("501")); }));
    EXPECT_TRUE(server.receivedVerbs().contains("RETR"));
    EXPECT_EQ(ftpWindow->progressMaximum(), 3221225472LL);
    EXPECT_EQ(ftpWindow->progressBar->maximum(), int(3221225472LL >> 1));
    // What arrived is short of the size announced: not a success.
    EXPECT_EQ(result, FtpResult::TransferFailed);
    EXPECT_EQ(readAll(local), QByteArray("gammelt"));
    EXPECT_EQ(temporaryFiles(data), QStringList());
}

// ---- The window thread while the server is slow ----

// What the window showed at one tick of a timer on the window thread.
struct Snapshot {
    bool stepRunning;
    QString connection;
    qint64 count;
    int bar;
};

// Takes a snapshot every few milliseconds while it lives; runs fn at the
// first tick that falls inside a network step.
class WindowProbe {
public:
    explicit WindowProbe(FtpTransferWindow& ftpWindow, std::function<void()> fn = {})
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this, &ftpWindow, fn] {
            const bool running = rt::offThreadStepRunning();
            snapshots.push_back({running, ftpWindow.connectionPanel->text(), ftpWindow.byteCountPanel->text().toLongLong(),
                                 ftpWindow.progressBar->value()});
            if (running && fn && !ranInStep) {
                ranInStep = true;
                fn();
            }
        });
        timer.start();
    }
    std::vector<Snapshot> snapshots;
    bool ranInStep = false;

private:
    QTimer timer;
};

enum class Seen {
    Connected, // the control connection stands; no transfer yet
    MidTransfer, // part of the file moved, the bar and the count show it
    TransferDone, // the whole file moved, the connection not yet closed
};

struct StallCase {
    const char* name;
    bool upload;
    QByteArray delayedVerb; // empty: no reply delayed
    qint64 pauseAfter; // bytes before the data transfer pauses; -1: none
    int size;
    Seen seen; // what the window shows while the server stalls
};

class FtpWindowStallTest : public FtpWindowScriptedTest, public testing::WithParamInterface<StallCase> {};

TEST_P(FtpWindowStallTest, TheWindowThreadLivesAndShowsTheStateWhileTheServerStallsAndTheResultIsTheSame)
{
    const StallCase& c = GetParam();
    constexpr int kStallMs = 600;
    if (!c.delayedVerb.isEmpty())
        server.delayReply(c.delayedVerb, kStallMs);
    server.pauseTransfersAfter(c.pauseAfter, kStallMs);
    const QByteArray content(c.size, 'k');
    const QString local = data + QStringLiteral("/priser.bin");
    if (c.upload)
        writeAll(local, content);
    else
        server.setFile("priser.bin", content);

    WindowProbe probe(*ftpWindow);
    const FtpResult result = c.upload ? ftpWindow->upload(local) : ftpWindow->download(local);

    const auto shown = [&](const Snapshot& s) {
        if (!s.stepRunning)
            return false;
        switch (c.seen) {
        case Seen::Connected:
            return s.connection == QLatin1String("Tilkoblet") && s.count == 0;
        case Seen::MidTransfer:
            return s.connection == QLatin1String("Tilkoblet") && s.count >= c.pauseAfter && s.count < c.size
                && s.bar == s.count;
        case Seen::TransferDone:
            return s.connection == QLatin1String("Tilkoblet") && s.count == c.size && s.bar == c.size;
        }
        return false;
    };
    EXPECT_TRUE(std::any_of(probe.snapshots.begin(), probe.snapshots.end(), shown))
        << "no tick of the window thread saw the stalled step";

    // The same outcome as without the stall.
    EXPECT_EQ(result, FtpResult::Done);
    EXPECT_EQ(panel(1), QStringLiteral("Frakoblet"));
    EXPECT_EQ(panel(0), QString::number(c.size));
    EXPECT_FALSE(ftpWindow->isVisible());
    if (c.upload) {
        EXPECT_EQ(logTexts(), (QStringList{QStringLiteral("FTP: Starter ny sesjon for opplasting av ") + local,
                                           QStringLiteral("FTP: Kobler til 127.0.0.1 som bruker ola"),
                                           QStringLiteral("FTP: Kobler fra.")}));
        EXPECT_TRUE(server.file("priser.bin") == content);
    } else {
        EXPECT_EQ(withFixedTemporaryNames(logTexts()),
                  downloadStart(QStringLiteral("priser.bin"), QStringLiteral("priser.bin"), QStringLiteral("ola"), c.size)
                      << QStringLiteral("FTP: Kobler fra.")
                      << QStringLiteral("FTP: endret navn på %1 til %2").arg(local + QStringLiteral(".XXXXXX.tmp"), local));
        EXPECT_TRUE(readAll(local) == content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpWindowStallTest,
    testing::Values(StallCase{"DownloadGreeting", false, "GREETING", -1, 1000, Seen::Connected},
                    StallCase{"DownloadSize", false, "SIZE", -1, 1000, Seen::Connected},
                    StallCase{"DownloadData", false, {}, 150000, 400000, Seen::MidTransfer},
                    StallCase{"DownloadQuit", false, "QUIT", -1, 400000, Seen::TransferDone},
                    StallCase{"UploadLogin", true, "PASS", -1, 1000, Seen::Connected},
                    StallCase{"UploadData", true, {}, 1 << 20, 16 << 20, Seen::MidTransfer},
                    StallCase{"UploadQuit", true, "QUIT", -1, 400000, Seen::TransferDone}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpWindowScriptedTest, ATransferAskedForWhileOneRunsIsRefusedAndTheRunningOneEndsAsBefore)
{
    server.delayReply("SIZE", 600);
    server.setFile("priser.txt", "nytt");
    const QString local = data + QStringLiteral("/priser.txt");
    const QString other = data + QStringLiteral("/rapport.csv");
    writeAll(other, "1;2;3\n");
    std::optional<FtpResult> nested;
    WindowProbe probe(*ftpWindow, [&] { nested = ftpWindow->upload(other); });

    const FtpResult result = ftpWindow->download(local);
    ASSERT_TRUE(probe.ranInStep);
    EXPECT_EQ(nested, FtpResult::NothingTransferred);
    EXPECT_EQ(result, FtpResult::Done);
    EXPECT_EQ(readAll(local), QByteArray("nytt"));
    EXPECT_EQ(server.sessionCount(), 1);
    EXPECT_FALSE(server.receivedVerbs().contains("STOR"));
    EXPECT_TRUE(logTexts().contains(
        QStringLiteral("FEIL: FTP: Feil nr. 504, kan ikke laste opp filen %1: en annen overføring pågår").arg(other)));
}

TEST_F(FtpWindowTest, CountsAbove32BitsReachThePanelAndTheBar)
{
    ftpWindow->setProgressMaximum(3221225472LL);
    ftpWindow->showProgress(2147483649LL);
    EXPECT_EQ(panel(0), QStringLiteral("2147483649"));
    EXPECT_EQ(ftpWindow->progressPosition(), 2147483649LL);
    EXPECT_EQ(ftpWindow->progressBar->value(), int(2147483649LL >> 1));
    ftpWindow->showProgress(3221225472LL);
    EXPECT_EQ(ftpWindow->progressBar->value(), ftpWindow->progressBar->maximum());
}

} // namespace
