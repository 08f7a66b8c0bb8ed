// The watcher's IMAP session: the check of INBOX's unseen messages, and
// opening, deleting and marking read by UID. The lines are those of the
// POP3 session, made from the same header fields; a line is named by
// UIDVALIDITY and UID.
//
// While push is up, a check keeps its connection, INBOX open read-only, for
// the next check: news then reaches the list without a log-in.
#pragma once

#include "imapclient.h"
#include "mailboxsession.h"

#include <chrono>

namespace watch {

class ImapSession final : public MailboxSession {
public:
    void setConnectionEvents(std::function<void()> opened, std::function<void()> closed) override;
    void setOptions(const SessionOptions& options) override;
    void setLogin(const QString& host, std::uint16_t port, const QString& user, const QString& password) override;
    bool connected() const override { return m_imap.connected(); }

    void openForCheck(SessionSteps& steps) override;
    void list(SessionSteps& steps, MailboxListing& listing, const CacheSource& cache) override;
    void endCheck(SessionSteps& steps, bool keepForNext) override;
    void dropKeptConnection(bool inUse) override;

    HeaderMatch compareWithServer(SessionSteps& steps, int row, const ListedLine& line) override;
    void retrieve(SessionSteps& steps, int row, RetrievedMessage& into) override;
    ActionOutcome remove(SessionSteps& steps, int row) override;
    void markSeen(SessionSteps& steps, const SeenMark& mark) override;
    void end(SessionSteps& steps) override;

    // A kept connection is used again for at most kKeepSessionFor, its
    // first answer awaited for at most kKeptSessionReplyMs.
    static constexpr std::chrono::minutes kKeepSessionFor{10};
    static constexpr int kKeptSessionReplyMs = 3000;

private:
    using KeptClock = std::chrono::steady_clock;
    // Connects and opens INBOX for changes (SELECT), unless that stands.
    void selectForChanges(SessionSteps& steps);
    // Worker thread: UID SEARCH on the connection a check kept, awaited
    // briefly. False when that connection no longer answers.
    bool searchOnKeptSession(QList<std::uint32_t>& unseen);

    net::ImapClient m_imap;
    // The unseen UIDs the running check found, and their UIDVALIDITY.
    QList<std::uint32_t> m_unseen;
    std::uint32_t m_checkValidity = 0;
    // The UID of each line of the last check, and the UIDVALIDITY they
    // belong to.
    QList<std::uint32_t> m_rowUids;
    std::uint32_t m_uidValidity = 0;
    std::optional<KeptClock::time_point> m_keptSince;
};

} // namespace watch
