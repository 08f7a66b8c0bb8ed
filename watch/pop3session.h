// The watcher's POP3 session: STAT and UIDL for the check, TOP for the
// headers, RETR and DELE by message number, each number checked first
// against the line it was listed as.
#pragma once

#include "mailboxsession.h"
#include "pop3client.h"

#include <map>

namespace watch {

class Pop3Session final : public MailboxSession {
public:
    void setConnectionEvents(std::function<void()> opened, std::function<void()> closed) override;
    void setOptions(const SessionOptions& options) override;
    void setLogin(const QString& host, std::uint16_t port, const QString& user, const QString& password) override;
    bool connected() const override { return m_client.connected(); }

    void openForCheck(SessionSteps& steps) override;
    void list(SessionSteps& steps, MailboxListing& listing, const CacheSource& cache) override;
    void endCheck(SessionSteps& steps, bool keepForNext) override;
    void dropKeptConnection(bool) override {}

    HeaderMatch compareWithServer(SessionSteps& steps, int row, const ListedLine& line) override;
    void retrieve(SessionSteps& steps, int row, RetrievedMessage& into) override;
    ActionOutcome remove(SessionSteps& steps, int row) override;
    // POP3 has no read marks.
    void markSeen(SessionSteps&, const SeenMark&) override {}
    void end(SessionSteps& steps) override;

private:
    // after: what the log-in asks for along with it (the check: the count).
    void connectUnlessOpen(SessionSteps& steps, net::Pop3Client::AfterLogin after);
    // Headers 1 … count: the cached line where the message's id is known,
    // TOP for the numbers in toRead (in runs of consecutive numbers). On a
    // failure, headers holds those before the failing number.
    void readChangedHeaders(int count, const std::map<int, QByteArray>& uids, const QList<int>& toRead,
                            const ListCache& cache, QList<ListedHeader>& headers);

    net::Pop3Client m_client;
    int m_count = 0; // STAT's answer in the check running
};

} // namespace watch
