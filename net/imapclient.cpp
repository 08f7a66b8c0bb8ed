#include "imapclient.h"

#include "clientsession.h"
#include "hostport.h"
#include "imapresponse.h"
#include "linechannel.h"
#include "tls.h"

#include <QSet>

#include <algorithm>
#include <exception>
#include <map>
#include <utility>

namespace net {

namespace {

// Largest answer to a UID SEARCH (a UID list, like a POP3 UIDL list).
constexpr qint64 kListCap = qint64(16) << 20;
// What the answers to one command may take together beyond their own
// caps: room for the server's own news (EXPUNGE, EXISTS, FETCH flags), but
// an answer that never ends stops here.
constexpr qint64 kCommandCap = kListCap;
// Per header asked for: far above what four header fields take.
constexpr qint64 kHeaderShare = 64 * 1024;
// A UID set in one UID FETCH: the command line stays under 8,000 bytes,
// which every server accepts.
constexpr qsizetype kSetBytes = 7900;
// UID FETCH commands in flight at once while headers are read.
constexpr int kFetchWindow = 2;

const QByteArray kHeaderItems = "(UID BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE MESSAGE-ID)])";

std::optional<std::uint32_t> number32(const QByteArray& text)
{
    return ImapValue{ImapValue::Type::Atom, text.trimmed(), {}}.number();
}

ImapLimits defaultLimits()
{
    return {};
}

ImapLimits listLimits()
{
    ImapLimits l;
    l.responseCap = kListCap;
    return l;
}

// The UIDs as sets of at most kSetBytes each ("3:7,9,12:20"), ascending,
// each with the number of UIDs it names.
QList<std::pair<QByteArray, qsizetype>> uidSets(QList<std::uint32_t> uids)
{
    // 0 is no UID.
    uids.removeAll(0);
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    QList<std::pair<QByteArray, qsizetype>> sets;
    QByteArray set;
    qsizetype count = 0;
    for (qsizetype i = 0; i < uids.size();) {
        qsizetype j = i;
        while (j + 1 < uids.size() && uids.at(j + 1) == uids.at(j) + 1)
            ++j;
        QByteArray run = QByteArray::number(uids.at(i));
        if (j > i)
            run += ':' + QByteArray::number(uids.at(j));
        if (!set.isEmpty() && set.size() + 1 + run.size() > kSetBytes) {
            sets.append({set, count});
            set.clear();
            count = 0;
        }
        if (!set.isEmpty())
            set += ',';
        set += run;
        count += j - i + 1;
        i = j + 1;
    }
    if (!set.isEmpty())
        sets.append({set, count});
    return sets;
}

// A string as IMAP quotes it: "…" with \ and " escaped. Only for 7-bit
// text without CR, LF or NUL.
QByteArray quoted(const QByteArray& s)
{
    QByteArray out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

bool quotable(const QByteArray& s)
{
    for (const char c : s) {
        if (uchar(c) < 0x20 || uchar(c) > 0x7e)
            return false;
    }
    return true;
}

// The items of a FETCH response this client asks for.
struct FetchItems {
    std::optional<std::uint32_t> uid;
    std::optional<QByteArray> headerFields;
    std::optional<QByteArray> body;
};

FetchItems fetchItems(const ImapResponse& r)
{
    FetchItems f;
    if (r.values.empty() || !r.values.front().isList())
        return f;
    const std::vector<ImapValue>& items = r.values.front().items;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        const ImapValue& key = items[i];
        const ImapValue& value = items[i + 1];
        if (key.type != ImapValue::Type::Atom)
            continue;
        const QByteArray name = key.text.toUpper();
        if (name == "UID") {
            f.uid = value.number();
        } else if (name.startsWith("BODY[HEADER.FIELDS")) {
            f.headerFields = value.isNil() ? QByteArray() : value.bytes();
        } else if (name == "BODY[]") {
            if (value.isString())
                f.body = value.text;
        }
    }
    return f;
}

// Reads the reader's bytes from the line channel.
class ChannelSource : public ImapSource {
public:
    ChannelSource(LineChannel& channel, qsizetype lineCap)
        : m_ch(channel)
        , m_lineCap(lineCap)
    {
    }
    QByteArray readLine(qint64) override { return m_ch.readLine(m_lineCap); }
    QByteArray readBytes(qint64 count) override { return m_ch.readBytes(count); }

private:
    LineChannel& m_ch;
    qsizetype m_lineCap;
};

} // namespace

struct ImapClient::Impl : ClientSession {
    explicit Impl(ImapClient& client)
        : q(client)
    {
        control.interrupter = &interrupter;
    }

    ImapClient& q;
    Interrupter interrupter;
    QStringList capabilities;
    ImapMailbox mailbox;
    bool selected = false;
    bool selecting = false; // a SELECT/EXAMINE is being answered
    ImapChanges changes;
    bool loggingOut = false;
    // The IDLE command in force, and whether the server's "+" for it came.
    QByteArray idleTag;
    bool idleAccepted = false;
    unsigned tagCounter = 0;
    // Commands written and not yet answered, and answers that came before
    // the one waited for.
    QSet<QByteArray> pending;
    std::map<QByteArray, ImapResponse> early;
    // What the answers to the running command may still take, and its name.
    qint64 budget = kCommandCap;
    qint64 budgetCap = kCommandCap;
    QString budgetName;

    QString hostText() const { return bareHost(q.host); }

    QByteArray plainToken() const { return net::plainToken(q.user, q.password); }

    // A server may echo what it got: the password, its base64, the PLAIN
    // token or the password as LOGIN quoted it never reach an error text,
    // each also where a line begins or ends inside it (a literal of the
    // server's may end in its middle).
    QString scrub(QString text) const override
    {
        if (q.password.isEmpty())
            return text;
        const QByteArray pw = q.password.toUtf8();
        const QByteArray escaped = quoted(pw).mid(1).chopped(1);
        if (escaped != pw)
            text = hideSecret(std::move(text), QString::fromUtf8(escaped));
        return hideLogin(std::move(text), q.user, q.password);
    }

    void resetSession()
    {
        capabilities.clear();
        mailbox = {};
        selected = false;
        selecting = false;
        changes = {};
        loggingOut = false;
        idleTag.clear();
        idleAccepted = false;
        pending.clear();
        early.clear();
    }

    void afterClose(bool notify) override
    {
        resetSession();
        if (notify && q.onDisconnected)
            q.onDisconnected();
    }

    // The response text as the server sent it, code included.
    static QByteArray responseText(const ImapResponse& r)
    {
        if (r.code.isEmpty())
            return r.text;
        QByteArray code = '[' + r.code;
        if (!r.codeText.isEmpty())
            code += ' ' + r.codeText;
        code += ']';
        return r.text.isEmpty() ? code : code + ' ' + r.text;
    }

    // "Serveren avviste <what>: <the server's words>".
    QString refusal(const ImapResponse& r, const QString& what) const
    {
        return refusalText(what, scrub(QString::fromUtf8(responseText(r))));
    }

    QByteArray nextTag() { return 'A' + QByteArray::number(++tagCounter); }

    // Starts a command group: its answers may take `cap` bytes together.
    void beginCommand(const QString& name, qint64 cap)
    {
        budgetName = name;
        budget = cap;
        budgetCap = cap;
    }

    void requireOpen()
    {
        if (!control.isOpen())
            failOpen(QStringLiteral("Ikke tilkoblet %1").arg(hostText()));
    }

    // Before a command: connected, the time-outs in force, IDLE ended.
    void prepare(const QString& name, qint64 cap = kCommandCap)
    {
        requireOpen();
        control.timeouts = q.timeouts;
        if (!idleTag.isEmpty())
            endIdle();
        beginCommand(name, cap);
    }

    void requireSelected()
    {
        if (!selected)
            failOpen(QStringLiteral("Ingen postkasse er åpnet på %1").arg(hostText()));
    }

    QByteArray send(const QByteArray& command)
    {
        const QByteArray tag = nextTag();
        control.send(tag + ' ' + command + "\r\n");
        pending.insert(tag);
        return tag;
    }

    // One response, within the reply time-out and the limits; what every
    // response tells about the session is taken in.
    ImapResponse read(const ImapLimits& limits)
    {
        requireOpen();
        control.beginReply(limits.responseCap);
        // Lines may be as long as the response, and then some: an overlong
        // line meets the response's cap first (the channel takes up to 16 KiB
        // at a time), whose text says what happened.
        ChannelSource source(control, qsizetype(limits.responseCap + kMaxLine));
        const ImapResponseReader reader(control.where, [this](const QByteArray& text) { return control.shown(text); });
        ImapResponse r;
        try {
            r = reader.read(source, limits);
        } catch (const NetError& e) {
            // The channel's own failures have closed it already.
            failClosed(e.text());
        }
        budget -= r.size;
        if (budget < 0)
            failClosed(QStringLiteral("Ugyldig svar fra %1: svarene på %2 er større enn %3")
                           .arg(hostText(), budgetName, capText(budgetCap)));
        absorb(r);
        return r;
    }

    void takeCapabilities(const QList<QByteArray>& words)
    {
        capabilities.clear();
        for (const QByteArray& w : words) {
            if (!w.isEmpty())
                capabilities.append(QString::fromUtf8(w).toUpper());
        }
    }

    // What any response says about the session, whichever command it came with.
    void absorb(const ImapResponse& r)
    {
        if (r.kind == ImapResponse::Kind::Continuation)
            return;
        if (r.code == "CAPABILITY")
            takeCapabilities(r.codeText.split(' '));
        if (r.kind == ImapResponse::Kind::Tagged)
            return;
        if (r.number) {
            const bool news = selected && !selecting;
            if (r.is("EXISTS")) {
                mailbox.exists = *r.number;
                if (news)
                    changes.exists = *r.number;
            } else if (r.is("EXPUNGE")) {
                if (mailbox.exists > 0)
                    --mailbox.exists;
                if (news)
                    ++changes.expunged;
            }
            return;
        }
        if (r.is("CAPABILITY")) {
            QList<QByteArray> words;
            for (const ImapValue& v : r.values) {
                if (v.type == ImapValue::Type::Atom)
                    words.append(v.text);
            }
            takeCapabilities(words);
            return;
        }
        if (r.is("OK")) {
            if (r.code == "UIDVALIDITY") {
                const std::uint32_t v = number32(r.codeText).value_or(0);
                if (selected && !selecting && v != mailbox.uidValidity)
                    changes.uidValidityChanged = true;
                mailbox.uidValidity = v;
            } else if (r.code == "UIDNEXT") {
                mailbox.uidNext = number32(r.codeText);
            } else if (r.code == "HIGHESTMODSEQ") {
                bool ok = false;
                const qulonglong v = r.codeText.trimmed().toULongLong(&ok);
                if (ok)
                    mailbox.highestModSeq = v;
            }
        }
    }

    // An untagged response no command claimed: a FETCH then means flags
    // changed; BYE ends the session unless it is being ended.
    void unclaimed(const ImapResponse& r)
    {
        if (r.number && r.is("FETCH") && selected && !selecting)
            ++changes.flagUpdates;
        if (r.kind == ImapResponse::Kind::Untagged && r.is("BYE") && !loggingOut) {
            const QString text = scrub(QString::fromUtf8(responseText(r))).trimmed();
            failClosed(text.isEmpty() ? QStringLiteral("Serveren avsluttet forbindelsen")
                                      : QStringLiteral("Serveren avsluttet forbindelsen: %1").arg(text));
        }
    }

    // Takes a tagged answer off the commands in flight. A tag other than
    // expected (when one is named), or one no command in flight carries,
    // means the stream is out of step with what was sent: the session ends.
    void settleTag(const QByteArray& tag, const QByteArray& expected = {})
    {
        const bool wasPending = pending.remove(tag);
        if (expected.isEmpty() ? !wasPending : tag != expected)
            failClosed(QStringLiteral("Ugyldig svar fra %1: svar på en ukjent kommando «%2»")
                           .arg(hostText(), control.shown(tag)));
    }

    using Claim = std::function<bool(const ImapResponse&)>;

    // Reads until the tagged answer to tag; untagged responses go to claim
    // first (true: taken), then to unclaimed().
    ImapResponse awaitTagged(const QByteArray& tag, const ImapLimits& limits, const Claim& claim = {})
    {
        if (const auto it = early.find(tag); it != early.end()) {
            ImapResponse r = std::move(it->second);
            early.erase(it);
            return r;
        }
        for (;;) {
            ImapResponse r = read(limits);
            if (r.kind == ImapResponse::Kind::Tagged) {
                settleTag(r.tag);
                if (r.tag == tag)
                    return r;
                const QByteArray other = r.tag;
                early.emplace(other, std::move(r));
                continue;
            }
            if (r.kind == ImapResponse::Kind::Continuation)
                failClosed(QStringLiteral("Ugyldig svar fra %1: «%2»").arg(hostText(), control.shown(r.line)));
            if (!claim || !claim(r))
                unclaimed(r);
        }
    }

    ImapResponse simple(const QByteArray& command, const ImapLimits& limits = defaultLimits(),
                        const Claim& claim = {})
    {
        return awaitTagged(send(command), limits, claim);
    }

    // Waits for the server's "+" to a command part that asks for it; a
    // tagged answer instead is a refusal of that command.
    void awaitContinuation(const QByteArray& tag, const QString& what)
    {
        for (;;) {
            ImapResponse r = read(defaultLimits());
            if (r.kind == ImapResponse::Kind::Continuation)
                return;
            if (r.kind == ImapResponse::Kind::Tagged) {
                settleTag(r.tag, tag);
                failClosed(refusal(r, what));
            }
            unclaimed(r);
        }
    }

    void readCapabilities()
    {
        capabilities.clear();
        beginCommand(QStringLiteral("CAPABILITY"), kCommandCap);
        simple("CAPABILITY");
    }

    void startTlsCommand()
    {
        beginCommand(QStringLiteral("STARTTLS"), kCommandCap);
        const ImapResponse r = simple("STARTTLS");
        if (!r.is("OK")) {
            const QString text = scrub(QString::fromUtf8(responseText(r))).trimmed();
            failClosed(QStringLiteral("%1 kunne ikke starte kryptering (STARTTLS): %2")
                           .arg(hostText(), text.isEmpty() ? QStringLiteral("avvist") : text));
        }
        upgradeToTls(hostText(),
                     QStringLiteral("Ugyldig svar fra %1: mer data etter svaret på STARTTLS").arg(hostText()));
        readCapabilities();
    }

    // The login as parts of one write: each part but the last ends with a
    // literal whose bytes wait for the server's "+".
    QList<QByteArray> loginParts(const QByteArray& tag)
    {
        const bool plain = q.hasCapability(QStringLiteral("AUTH=PLAIN"));
        const bool loginAllowed = !q.hasCapability(QStringLiteral("LOGINDISABLED"));
        if (plain && q.hasCapability(QStringLiteral("SASL-IR")))
            return {tag + " AUTHENTICATE PLAIN " + plainToken() + "\r\n"};
        if (loginAllowed) {
            const bool literalPlus = q.hasCapability(QStringLiteral("LITERAL+"));
            const bool literalMinus = q.hasCapability(QStringLiteral("LITERAL-"));
            QList<QByteArray> parts;
            QByteArray part = tag + " LOGIN";
            for (const QByteArray& arg : {q.user.toUtf8(), q.password.toUtf8()}) {
                if (quotable(arg)) {
                    part += ' ' + quoted(arg);
                    continue;
                }
                // Bytes a quoted string cannot carry (UTF-8) go as a literal.
                const bool noWait = literalPlus || (literalMinus && arg.size() <= 4096);
                part += " {" + QByteArray::number(arg.size()) + (noWait ? "+}\r\n" : "}\r\n");
                if (!noWait) {
                    parts.append(part);
                    part.clear();
                }
                part += arg;
            }
            parts.append(part + "\r\n");
            return parts;
        }
        if (plain)
            return {tag + " AUTHENTICATE PLAIN\r\n", plainToken() + "\r\n"};
        if (!control.isTls())
            failClosed(QStringLiteral("%1 tillater ikke innlogging uten kryptering (LOGINDISABLED) og tilbyr ikke "
                                      "STARTTLS")
                           .arg(hostText()));
        failClosed(QStringLiteral("%1 tilbyr ingen innlogging som programmet kan bruke (verken LOGIN eller "
                                  "AUTHENTICATE PLAIN)")
                       .arg(hostText()));
    }

    void beginSelect(bool readOnly)
    {
        selected = false;
        selecting = true;
        mailbox = {};
        mailbox.readOnly = readOnly;
    }

    // The tagged answer to EXAMINE/SELECT; a refusal leaves no mailbox open.
    std::optional<QString> finishSelect(const ImapResponse& r, bool readOnly)
    {
        selecting = false;
        if (!r.is("OK")) {
            mailbox = {};
            return refusal(r, readOnly ? QStringLiteral("EXAMINE INBOX") : QStringLiteral("SELECT INBOX"));
        }
        if (r.code == "READ-ONLY")
            mailbox.readOnly = true;
        else if (r.code == "READ-WRITE")
            mailbox.readOnly = false;
        selected = true;
        changes = {};
        return std::nullopt;
    }

    static QByteArray selectCommand(bool readOnly) { return readOnly ? "EXAMINE INBOX" : "SELECT INBOX"; }
    static QByteArray searchCommand() { return "UID SEARCH UNSEEN UNDELETED"; }

    Claim searchClaim(QList<std::uint32_t>& found)
    {
        return [&found](const ImapResponse& r) {
            if (r.number || !r.is("SEARCH"))
                return false;
            found += r.searchNumbers;
            return true;
        };
    }

    std::optional<QString> finishSearch(const ImapResponse& r, QList<std::uint32_t>& found) const
    {
        if (!r.is("OK"))
            return refusal(r, QStringLiteral("UID SEARCH"));
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return std::nullopt;
    }

    // The whole connection; with open, EXAMINE/SELECT and UID SEARCH go in
    // the login's write.
    QList<std::uint32_t> connectSession(std::optional<bool> open)
    {
        if (control.isOpen())
            close(true);
        resetSession();
        if (interrupter.raised())
            failOpen(control.interruptedText());

        connectTo(hostText(), hostText(), q.port, q.timeouts);
        if (q.onConnected)
            q.onConnected();
        if (q.usesImplicitTls() || control.knownTlsFromFirstByte())
            startTls(hostText());
        else
            tlsStep([this] { return control.detectTlsFromFirstByte(); });

        beginCommand(QStringLiteral("hilsenen"), kCommandCap);
        const ImapResponse greeting = read(defaultLimits());
        if (greeting.kind == ImapResponse::Kind::Untagged && greeting.is("BYE"))
            failClosed(refusal(greeting, QStringLiteral("forbindelsen")));
        if (greeting.kind != ImapResponse::Kind::Untagged || (!greeting.is("OK") && !greeting.is("PREAUTH")))
            failClosed(QStringLiteral("Ugyldig svar fra %1: «%2»").arg(hostText(), control.shown(greeting.line)));
        const bool preauth = greeting.is("PREAUTH");
        if (greeting.code != "CAPABILITY")
            readCapabilities();
        if (!preauth && !control.isTls() && q.hasCapability(QStringLiteral("STARTTLS")))
            startTlsCommand();

        QList<QByteArray> parts;
        QByteArray loginTag;
        if (!preauth) {
            // Chosen first: a server that takes no login at all gets no question.
            loginTag = nextTag();
            parts = loginParts(loginTag);
            if (!control.isTls())
                requireClearTextConsent(hostText(), q.port, QStringLiteral("serveren tilbyr ikke STARTTLS"));
            requireSingleLineLogin(q.user, q.password);
        }

        // The rest goes with the login's last part: CAPABILITY (the list may
        // change once logged in), then the mailbox and its search.
        QByteArray rest;
        QByteArray capabilityTag;
        QByteArray selectTag;
        QByteArray searchTag;
        const auto queue = [&](const QByteArray& command) {
            const QByteArray tag = nextTag();
            rest += tag + ' ' + command + "\r\n";
            return tag;
        };
        if (!preauth)
            capabilityTag = queue("CAPABILITY");
        if (open) {
            selectTag = queue(selectCommand(*open));
            searchTag = queue(searchCommand());
        }
        if (parts.isEmpty())
            parts.append(QByteArray());
        parts.last() += rest;

        beginCommand(QStringLiteral("innloggingen"), kCommandCap);
        if (!loginTag.isEmpty())
            pending.insert(loginTag);
        for (qsizetype i = 0; i < parts.size(); ++i) {
            if (i == parts.size() - 1) {
                for (const QByteArray& t : {capabilityTag, selectTag, searchTag}) {
                    if (!t.isEmpty())
                        pending.insert(t);
                }
            }
            if (!parts.at(i).isEmpty())
                control.send(parts.at(i));
            if (i < parts.size() - 1)
                awaitContinuation(loginTag, QStringLiteral("innloggingen"));
        }

        const ImapLimits limits = open ? listLimits() : defaultLimits();
        if (!loginTag.isEmpty()) {
            const ImapResponse login = awaitTagged(loginTag, limits);
            // Nothing after a refused login is read or used.
            if (!login.is("OK"))
                failClosed(refusal(login, QStringLiteral("innloggingen")));
        }
        if (!capabilityTag.isEmpty()) {
            capabilities.clear();
            awaitTagged(capabilityTag, limits);
        }
        if (!open)
            return {};

        beginSelect(*open);
        const std::optional<QString> selectRefused = finishSelect(awaitTagged(selectTag, limits), *open);
        QList<std::uint32_t> found;
        beginCommand(QString::fromLatin1(searchCommand()), kCommandCap + kListCap);
        const ImapResponse search = awaitTagged(searchTag, limits, searchClaim(found));
        if (selectRefused)
            failOpen(*selectRefused);
        if (const std::optional<QString> refused = finishSearch(search, found))
            failOpen(*refused);
        return found;
    }

    // Sends DONE and reads up to the end of the IDLE.
    void endIdle()
    {
        const QByteArray tag = idleTag;
        beginCommand(QStringLiteral("IDLE"), kCommandCap);
        control.sendLine("DONE");
        for (;;) {
            const ImapResponse r = read(defaultLimits());
            if (r.kind == ImapResponse::Kind::Continuation)
                continue; // the "+" to IDLE, not read before
            if (r.kind == ImapResponse::Kind::Tagged) {
                settleTag(r.tag, tag);
                idleTag.clear();
                idleAccepted = false;
                return;
            }
            unclaimed(r);
        }
    }
};

ImapClient::ImapClient()
    : d(std::make_unique<Impl>(*this))
{
}

ImapClient::~ImapClient()
{
    d->close(false);
}

bool ImapClient::connected() const
{
    return d->control.isOpen();
}

bool ImapClient::encrypted() const
{
    return d->control.isOpen() && d->control.isTls();
}

void ImapClient::connect()
{
    d->connectSession(std::nullopt);
}

QList<std::uint32_t> ImapClient::connectAndSearch(bool readOnly)
{
    return d->connectSession(readOnly);
}

const QStringList& ImapClient::capabilities() const
{
    return d->capabilities;
}

bool ImapClient::hasCapability(const QString& name) const
{
    return d->capabilities.contains(name.toUpper());
}

const ImapMailbox& ImapClient::selectInbox(bool readOnly)
{
    d->prepare(QString::fromLatin1(Impl::selectCommand(readOnly)));
    d->beginSelect(readOnly);
    const ImapResponse r = d->simple(Impl::selectCommand(readOnly));
    if (const std::optional<QString> refused = d->finishSelect(r, readOnly))
        d->failOpen(*refused);
    return d->mailbox;
}

const ImapMailbox& ImapClient::mailbox() const
{
    return d->mailbox;
}

bool ImapClient::mailboxOpen() const
{
    return d->selected;
}

QList<std::uint32_t> ImapClient::searchUnseen(SearchSync sync)
{
    d->prepare(QString::fromLatin1(Impl::searchCommand()), kCommandCap + kListCap);
    d->requireSelected();
    QList<std::uint32_t> found;
    if (sync == SearchSync::ReopenFirst) {
        // Both in one write. A server brings an open mailbox up to date
        // between pipelined commands only when it is opened anew (some
        // bundle a NOOP's sync with the commands after it), so the search
        // covers what arrived since the last command.
        const bool readOnly = d->mailbox.readOnly;
        const QByteArray selectTag = d->nextTag();
        const QByteArray searchTag = d->nextTag();
        d->control.send(selectTag + ' ' + Impl::selectCommand(readOnly) + "\r\n" + searchTag + ' ' + Impl::searchCommand()
                   + "\r\n");
        d->pending.insert(selectTag);
        d->pending.insert(searchTag);
        d->beginSelect(readOnly);
        const std::optional<QString> selectRefused =
            d->finishSelect(d->awaitTagged(selectTag, listLimits()), readOnly);
        const ImapResponse r = d->awaitTagged(searchTag, listLimits(), d->searchClaim(found));
        if (selectRefused)
            d->failOpen(*selectRefused);
        if (const std::optional<QString> refused = d->finishSearch(r, found))
            d->failOpen(*refused);
        return found;
    }
    const ImapResponse r = d->simple(Impl::searchCommand(), listLimits(), d->searchClaim(found));
    if (const std::optional<QString> refused = d->finishSearch(r, found))
        d->failOpen(*refused);
    return found;
}

void ImapClient::fetchHeaders(const QList<std::uint32_t>& uids,
                              const std::function<void(std::uint32_t, const QByteArray&)>& sink)
{
    const QList<std::pair<QByteArray, qsizetype>> sets = uidSets(uids);
    if (sets.isEmpty())
        return;
    qint64 wanted = 0;
    for (const auto& s : sets)
        wanted += s.second;
    d->prepare(QStringLiteral("UID FETCH"), kCommandCap + wanted * kHeaderShare);
    d->requireSelected();

    const QSet<std::uint32_t> asked(uids.cbegin(), uids.cend());
    QSet<std::uint32_t> delivered;
    std::optional<QString> refused;
    std::exception_ptr sinkError;
    ImapLimits limits;
    limits.responseCap = kReplyCap + kHeaderShare;

    const Impl::Claim claim = [&](const ImapResponse& r) {
        if (!r.number || !r.is("FETCH"))
            return false;
        const FetchItems f = fetchItems(r);
        if (!f.uid || !f.headerFields || !asked.contains(*f.uid) || delivered.contains(*f.uid))
            return false;
        delivered.insert(*f.uid);
        if (refused || sinkError || !sink)
            return true;
        try {
            sink(*f.uid, *f.headerFields);
        } catch (...) {
            sinkError = std::current_exception();
        }
        return true;
    };

    // A small window of commands: the next goes out as one is answered, so
    // the server always has work and neither side's writes can block.
    QList<QByteArray> inFlight;
    qsizetype next = 0;
    const auto sendNext = [&] { inFlight.append(d->send("UID FETCH " + sets.at(next++).first + ' ' + kHeaderItems)); };
    while (next < sets.size() && inFlight.size() < kFetchWindow)
        sendNext();
    while (!inFlight.isEmpty()) {
        const ImapResponse r = d->awaitTagged(inFlight.takeFirst(), limits, claim);
        if (!r.is("OK") && !refused)
            refused = d->refusal(r, QStringLiteral("UID FETCH"));
        // Every answer to a command written is read, also after a refusal or
        // a failing sink, so that the next command meets a connection in step.
        if (!refused && !sinkError && next < sets.size())
            sendNext();
    }
    if (sinkError)
        std::rethrow_exception(sinkError);
    if (refused)
        d->failOpen(*refused);
}

bool ImapClient::fetchMessage(std::uint32_t uid, QByteArray& message, QString* refusal)
{
    d->prepare(QStringLiteral("UID FETCH"), kCommandCap + kMessageCap);
    d->requireSelected();
    ImapLimits limits;
    limits.literalCap = kMessageCap;
    limits.responseCap = kMessageCap + kReplyCap;
    limits.literalCapFailure = QStringLiteral("Meldingen med UID %1 fra %2 er større enn %3, som er grensen")
                                   .arg(uid)
                                   .arg(d->hostText(), capText(kMessageCap));
    std::optional<QByteArray> body;
    // PEEK: opening marks nothing; the answer still names the item BODY[].
    const ImapResponse r =
        d->simple("UID FETCH " + QByteArray::number(uid) + " BODY.PEEK[]", limits, [&](const ImapResponse& resp) {
            if (!resp.number || !resp.is("FETCH"))
                return false;
            FetchItems f = fetchItems(resp);
            // Only the UID asked for: a body under another UID, or under
            // none, is never taken for this message.
            if (f.uid != uid || !f.body)
                return false;
            body = std::move(f.body);
            return true;
        });
    if (!r.is("OK")) {
        if (refusal)
            *refusal = d->refusal(r, QStringLiteral("UID FETCH %1").arg(uid));
        return false;
    }
    if (!body) {
        if (refusal)
            *refusal = QStringLiteral("Meldingen med UID %1 finnes ikke lenger på %2").arg(uid).arg(d->hostText());
        return false;
    }
    message = std::move(*body);
    return true;
}

ImapClient::Deletion ImapClient::deleteMessage(std::uint32_t uid)
{
    d->prepare(QStringLiteral("UID STORE"));
    d->requireSelected();
    const QByteArray id = QByteArray::number(uid);
    const bool uidPlus = hasCapability(QStringLiteral("UIDPLUS"));
    // Both in one write: UID EXPUNGE removes only this UID, and only if it
    // carries \Deleted, so it is harmless when the STORE is refused.
    const QByteArray storeTag = d->nextTag();
    QByteArray commands = storeTag + " UID STORE " + id + " +FLAGS.SILENT (\\Deleted)\r\n";
    QByteArray expungeTag;
    if (uidPlus) {
        expungeTag = d->nextTag();
        commands += expungeTag + " UID EXPUNGE " + id + "\r\n";
    }
    d->control.send(commands);
    d->pending.insert(storeTag);
    if (uidPlus)
        d->pending.insert(expungeTag);
    const ImapResponse store = d->awaitTagged(storeTag, defaultLimits());
    std::optional<ImapResponse> expunge;
    if (uidPlus)
        expunge = d->awaitTagged(expungeTag, defaultLimits());
    if (!store.is("OK"))
        d->failOpen(d->refusal(store, QStringLiteral("UID STORE %1").arg(uid)));
    if (expunge && !expunge->is("OK"))
        d->failOpen(d->refusal(*expunge, QStringLiteral("UID EXPUNGE %1").arg(uid)));
    return uidPlus ? Deletion::Expunged : Deletion::FlaggedOnly;
}

void ImapClient::markSeen(std::uint32_t uid)
{
    d->prepare(QStringLiteral("UID STORE"));
    d->requireSelected();
    const ImapResponse r = d->simple("UID STORE " + QByteArray::number(uid) + " +FLAGS.SILENT (\\Seen)");
    if (!r.is("OK"))
        d->failOpen(d->refusal(r, QStringLiteral("UID STORE %1").arg(uid)));
}

void ImapClient::noop()
{
    d->prepare(QStringLiteral("NOOP"));
    const ImapResponse r = d->simple("NOOP");
    if (!r.is("OK"))
        d->failOpen(d->refusal(r, QStringLiteral("NOOP")));
}

ImapChanges ImapClient::takeChanges()
{
    return std::exchange(d->changes, ImapChanges{});
}

bool ImapClient::idling() const
{
    return !d->idleTag.isEmpty();
}

ImapClient::IdleEnd ImapClient::idle(std::chrono::milliseconds maxWait, OnChange onChange)
{
    d->requireOpen();
    d->control.timeouts = timeouts;
    if (!hasCapability(QStringLiteral("IDLE")))
        d->failOpen(QStringLiteral("%1 tilbyr ikke IDLE").arg(d->hostText()));
    d->requireSelected();
    if (interruptRequested())
        return IdleEnd::Interrupted;
    if (d->changes.any()) {
        if (idling() && onChange == OnChange::EndIdle)
            d->endIdle();
        return IdleEnd::Changed;
    }
    const auto until = Clock::now() + maxWait;
    if (!idling()) {
        d->beginCommand(QStringLiteral("IDLE"), kCommandCap);
        d->idleTag = d->send("IDLE");
        d->idleAccepted = false;
    }
    // The server's "+" within the reply time-out; news may come before it.
    const auto acceptBy = Clock::now() + std::chrono::milliseconds(timeouts.replyMs);
    while (!d->idleAccepted) {
        const LineChannel::InputWait w = d->control.waitForInput(acceptBy);
        if (w == LineChannel::InputWait::Interrupted)
            return IdleEnd::Interrupted;
        if (w == LineChannel::InputWait::TimeUp)
            d->control.timedOut();
        const ImapResponse r = d->read(defaultLimits());
        if (r.kind == ImapResponse::Kind::Continuation) {
            d->idleAccepted = true;
        } else if (r.kind == ImapResponse::Kind::Tagged) {
            d->settleTag(r.tag, d->idleTag);
            d->idleTag.clear();
            if (!r.is("OK"))
                d->failOpen(d->refusal(r, QStringLiteral("IDLE")));
            return d->changes.any() ? IdleEnd::Changed : IdleEnd::ServerEnded;
        } else {
            d->unclaimed(r);
        }
    }
    for (;;) {
        if (d->changes.any()) {
            if (onChange == OnChange::EndIdle)
                d->endIdle();
            return IdleEnd::Changed;
        }
        const LineChannel::InputWait w = d->control.waitForInput(until);
        if (w == LineChannel::InputWait::Interrupted)
            return IdleEnd::Interrupted;
        if (w == LineChannel::InputWait::TimeUp) {
            d->endIdle();
            return d->changes.any() ? IdleEnd::Changed : IdleEnd::TimeUp;
        }
        const ImapResponse r = d->read(defaultLimits());
        if (r.kind == ImapResponse::Kind::Tagged) {
            d->settleTag(r.tag, d->idleTag);
            d->idleTag.clear();
            d->idleAccepted = false;
            return d->changes.any() ? IdleEnd::Changed : IdleEnd::ServerEnded;
        }
        if (r.kind == ImapResponse::Kind::Untagged)
            d->unclaimed(r);
    }
}

void ImapClient::interrupt()
{
    d->interrupter.raise();
}

void ImapClient::clearInterrupt()
{
    d->interrupter.clear();
}

bool ImapClient::interruptRequested() const
{
    return d->interrupter.raised();
}

void ImapClient::disconnect()
{
    if (!d->control.isOpen())
        return;
    try {
        d->loggingOut = true;
        d->prepare(QStringLiteral("LOGOUT"));
        d->simple("LOGOUT");
    } catch (const NetError&) {
        // Already closed and reported by the failing step.
    }
    d->close(true);
}

void ImapClient::logoutWithoutWaiting()
{
    if (!d->control.isOpen())
        return;
    QByteArray goodbye;
    if (idling())
        goodbye += "DONE\r\n";
    goodbye += d->nextTag() + " LOGOUT\r\n";
    d->control.sendNow(goodbye);
    d->close(true);
}

} // namespace net
