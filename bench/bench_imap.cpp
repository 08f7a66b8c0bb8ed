// The strip watching an IMAP INBOX on a real Dovecot behind a 20 ms round
// trip (the in-process delay proxy, 10 ms each way): the first listing of
// 1,000 and 10,000 unseen messages beside a Python imaplib client that
// fetches the same header fields in one command, and the time from a
// message arriving in the Maildir to the strip's list holding it (push),
// beside a bare IDLE client on the same server and link, which shows how
// soon the server itself reports the message.
// Prints figures and asserts nothing about them; a wrong line count is an
// error and ends the run with a non-zero status.
#include "benchstrip.h"
#include "benchmail.h"
#include "delayproxy.h"
#include "dovecotserver.h"
#include "fakeplatform.h"
#include "folders.h"
#include "imapclient.h"
#include "log.h"
#include "mailboxwatcher.h"
#include "startup.h"
#include "stripwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QAbstractItemModel>
#include <QListView>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

using namespace benchstrip;
using namespace benchmail;
using app::StripWindow;
using testsupport::DovecotServer;

constexpr int kRepeats = 5;
using Clock = std::chrono::steady_clock;

bool writeImapSettings(const QString& host, std::uint16_t port, const QString& user, const QString& password)
{
    if (!writeBenchSettings(host, port, user, password))
        return false;
    rt::IniFile ini(rt::state().etcFolder + QStringLiteral("OLA.INI"));
    ini.writeString(QStringLiteral("Pop3"), QStringLiteral("Protocol"), QStringLiteral("IMAP"));
    return ini.updateFile();
}

// An IMAP client that only waits in IDLE and notes when the server reports
// a change: the floor for any watcher on that server and link.
class BareIdleClient {
public:
    BareIdleClient(const QString& host, std::uint16_t port, const QString& user, const QString& password)
    {
        m_client.host = host;
        m_client.port = port;
        m_client.user = user;
        m_client.password = password;
        m_client.connect();
        m_client.selectInbox(true);
        m_thread = std::thread([this] {
            try {
                while (m_client.idle(std::chrono::minutes(10)) != net::ImapClient::IdleEnd::Interrupted) {
                    m_lastReport = Clock::now().time_since_epoch().count();
                    m_client.takeChanges();
                }
            } catch (const std::exception&) {
                m_failed = true;
            }
        });
    }
    ~BareIdleClient()
    {
        m_client.interrupt();
        m_thread.join();
        m_client.logoutWithoutWaiting();
    }
    // When the server last reported a change.
    Clock::time_point lastReport() const { return Clock::time_point(Clock::duration(m_lastReport.load())); }
    bool failed() const { return m_failed; }

private:
    net::ImapClient m_client;
    std::thread m_thread;
    std::atomic<Clock::rep> m_lastReport{0};
    std::atomic<bool> m_failed{false};
};

class ImapBench {
public:
    // pushOnly: the push figures alone (bench_imap push).
    int run(bool pushOnly);

private:
    bool listing(int messages);
    bool push();

    testsupport::RuntimeFixtureGuard guard;
    QString script = QStringLiteral(BENCH_SOURCE_DIR "/imap_lister.py");
    QString cacheFolder;
};

bool ImapBench::listing(int messages)
{
    DovecotServer dovecot(mailbox(messages));
    bench::DelayProxy proxy("127.0.0.1", dovecot.imapPort(), std::chrono::milliseconds(10));
    if (!writeImapSettings(dovecot.host(), proxy.port(), dovecot.user(), dovecot.password()))
        return false;
    std::unique_ptr<StripWindow> stripWindow = newStrip();
    if (!timeCheck(*stripWindow, messages)) // fonts and styles loaded before anything is timed
        return false;
    const auto self = medianOf(kRepeats, [&]() -> std::optional<double> {
        // Nothing known: no cache file and a new window with a new watcher.
        QDir(cacheFolder).removeRecursively();
        QDir().mkpath(cacheFolder);
        stripWindow = newStrip();
        return timeCheck(*stripWindow, messages);
    });
    const auto again = medianOf(kRepeats, [&] { return timeCheck(*stripWindow, messages); });
    const auto python = medianOf(kRepeats, [&] {
        return timeProgram(systemPython(),
                           {script, dovecot.host(), QString::number(proxy.port()), dovecot.user(), dovecot.password()});
    });
    if (!self || !again || !python)
        return false;
    std::printf("%6d unseen | this program, first listing %7.0f ms | re-check %6.0f ms | Python imaplib, one "
                "UID FETCH %7.0f ms | ratio %.2f\n",
                messages, *self * 1000, *again * 1000, *python * 1000, *self / *python);
    return true;
}

bool ImapBench::push()
{
    DovecotServer dovecot(mailbox(3));
    bench::DelayProxy proxy("127.0.0.1", dovecot.imapPort(), std::chrono::milliseconds(10));
    if (!writeImapSettings(dovecot.host(), proxy.port(), dovecot.user(), dovecot.password()))
        return false;
    std::unique_ptr<StripWindow> stripWindow = newStrip();
    if (!timeCheck(*stripWindow, 3))
        return false;
    BareIdleClient bare(dovecot.host(), proxy.port(), dovecot.user(), dovecot.password());
    std::vector<double> toLine;
    std::vector<double> toReport;
    for (int i = 0; i < kRepeats; ++i) {
        // Push's checks come at least two seconds apart, as do these
        // deliveries: each is measured on its own.
        QElapsedTimer wait;
        wait.start();
        while ((stripWindow->watcher().pushState() != watch::ImapPush::State::Up || stripWindow->watcher().busy()
                || wait.elapsed() < 2500)
               && wait.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const int expected = stripWindow->messageList->model()->rowCount() + 1;
        const Clock::time_point delivered = Clock::now();
        dovecot.deliver(benchMessage(100 + i));
        while (stripWindow->messageList->model()->rowCount() != expected && Clock::now() - delivered < std::chrono::seconds(30))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        const Clock::time_point listed = Clock::now();
        if (stripWindow->messageList->model()->rowCount() != expected) {
            std::printf("ERROR: a delivered message did not reach the list within 30 s\n");
            return false;
        }
        const Clock::time_point reported = bare.lastReport();
        if (bare.failed() || reported < delivered) {
            std::printf("ERROR: the bare IDLE client saw no report of the delivery\n");
            return false;
        }
        toLine.push_back(std::chrono::duration<double>(listed - delivered).count());
        toReport.push_back(std::chrono::duration<double>(reported - delivered).count());
    }
    std::printf("push: from a message written into the Maildir to the strip's list holding it: median %.0f ms; "
                "to a bare IDLE client's report of it: median %.0f ms; ratio %.2f (%d deliveries, 20 ms round "
                "trip)\n",
                median(toLine) * 1000, median(toReport) * 1000, median(toLine) / median(toReport), kRepeats);
    return true;
}

int ImapBench::run(bool pushOnly)
{
    QDir::setCurrent(guard.fake.root.path());
    rt::startLog();
    rt::locateSettingsFile();
    cacheFolder = rt::namedFolder(QStringLiteral("tmp"));
    if (!DovecotServer::imapAvailable()) {
        std::printf("IMAP: dovecot-imapd is not installed; nothing measured\n");
        return 0;
    }
    std::printf("IMAP against a real Dovecot behind a 20 ms round trip (in-process delay proxy); medians of %d "
                "runs, Python's start-up included\n",
                kRepeats);
    for (int n : {1000, 10000}) {
        if (!pushOnly && !listing(n))
            return 1;
    }
    return push() ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    offscreenWithoutMaskWarnings();
    QApplication application(argc, argv);
    return ImapBench().run(argc > 1 && qstrcmp(argv[1], "push") == 0);
}
