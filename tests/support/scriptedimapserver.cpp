#include "scriptedimapserver.h"

#include "scriptedserver.h"

#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace testsupport {

ImapFault ImapFault::no(const QByteArray& verb, const QByteArray& text)
{
    return make(verb, Action::No, text);
}

ImapFault ImapFault::bad(const QByteArray& verb, const QByteArray& text)
{
    return make(verb, Action::Bad, text);
}

ImapFault ImapFault::drop(const QByteArray& verb)
{
    return make(verb, Action::Drop);
}

ImapFault ImapFault::stall(const QByteArray& verb, int ms)
{
    return make(verb, Action::Stall, {}, ms);
}

ImapFault ImapFault::reply(const QByteArray& verb, const QByteArray& text)
{
    return make(verb, Action::Reply, text);
}

ImapFault ImapFault::reset(const QByteArray& verb)
{
    return make(verb, Action::Reset);
}

ImapFault ImapFault::trickle(const QByteArray& verb, int msPerByte, const QByteArray& text)
{
    return make(verb, Action::Trickle, text, msPerByte);
}

ImapFault ImapFault::endless(const QByteArray& verb, const QByteArray& first)
{
    return make(verb, Action::Endless, first);
}

ImapFault ImapFault::bye(const QByteArray& verb, const QByteArray& text)
{
    return make(verb, Action::Bye, text);
}

ImapFault ImapFault::before(const QByteArray& verb, const QByteArray& untagged)
{
    return make(verb, Action::Before, untagged);
}

ImapFault ImapFault::idleNotice(int afterMs, const QByteArray& untagged)
{
    return make("IDLE", Action::IdleNotice, untagged, afterMs);
}

ImapFault ImapFault::idleEnd(int afterMs, const QByteArray& text)
{
    return make("IDLE", Action::IdleEnd, text, afterMs);
}

namespace {

using Clock = std::chrono::steady_clock;

struct Message {
    std::uint32_t uid = 0;
    QByteArray raw;
    bool seen = false;
    bool deleted = false;
};

QByteArray withLineEnd(QByteArray text)
{
    if (!text.endsWith("\r\n"))
        text += "\r\n";
    return text;
}

QByteArray flagList(bool seen, bool deleted)
{
    QList<QByteArray> flags;
    if (seen)
        flags.append("\\Seen");
    if (deleted)
        flags.append("\\Deleted");
    return '(' + flags.join(' ') + ')';
}

QByteArray literal(const QByteArray& bytes)
{
    return '{' + QByteArray::number(bytes.size()) + "}\r\n" + bytes;
}

// The header fields named (case ignored) with their continuation lines,
// then the empty line, as BODY[HEADER.FIELDS (...)] gives them.
QByteArray headerFields(const QByteArray& raw, const QList<QByteArray>& names)
{
    QByteArray out;
    bool keep = false;
    for (QByteArray line : raw.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            break;
        if (line.at(0) != ' ' && line.at(0) != '\t') {
            const QByteArray name = line.left(line.indexOf(':')).trimmed().toUpper();
            keep = names.contains(name);
        }
        if (keep)
            out += line + "\r\n";
    }
    return out + "\r\n";
}

// A client command: its tag, its words (quoted strings unquoted, a
// parenthesised part whole, literals as their bytes) and the whole text
// after the tag.
struct Command {
    QByteArray tag;
    QList<QByteArray> words;
    QByteArray text;
    bool answered = false; // a fault answered it while it was being read

    QByteArray verb() const
    {
        const QByteArray first = words.value(0).toUpper();
        return first == "UID" ? first + ' ' + words.value(1).toUpper() : first;
    }
    // The arguments after the verb.
    QList<QByteArray> args() const { return words.mid(verb().contains(' ') ? 2 : 1); }
};

// Splits one line of a command into words; a literal announcement at its
// end is returned in literalSize (and syncLiteral when it waits for "+").
void splitWords(const QByteArray& line, QList<QByteArray>& words, qint64& literalSize, bool& syncLiteral)
{
    literalSize = -1;
    qsizetype i = 0;
    while (i < line.size()) {
        const char c = line.at(i);
        if (c == ' ') {
            ++i;
            continue;
        }
        if (c == '"') {
            QByteArray w;
            ++i;
            while (i < line.size() && line.at(i) != '"') {
                if (line.at(i) == '\\' && i + 1 < line.size())
                    ++i;
                w += line.at(i++);
            }
            ++i;
            words.append(w);
            continue;
        }
        if (c == '{' && line.endsWith('}')) {
            QByteArray n = line.mid(i + 1, line.size() - i - 2);
            syncLiteral = !n.endsWith('+');
            if (!syncLiteral)
                n.chop(1);
            bool ok = false;
            literalSize = n.toLongLong(&ok);
            if (ok)
                return;
            literalSize = -1;
        }
        const qsizetype start = i;
        int depth = 0;
        bool inSection = false;
        while (i < line.size()) {
            const char d = line.at(i);
            if (d == '[')
                inSection = true;
            else if (d == ']')
                inSection = false;
            else if (d == '(')
                ++depth;
            else if (d == ')')
                --depth;
            else if (d == ' ' && depth <= 0 && !inSection)
                break;
            ++i;
        }
        words.append(line.mid(start, i - start));
    }
}

// UIDs a set names among those given ("1:3,7,9:*").
std::set<std::uint32_t> uidsInSet(const QByteArray& set, const QList<std::uint32_t>& present)
{
    std::set<std::uint32_t> out;
    const std::uint32_t largest = present.isEmpty() ? 0 : present.last();
    const auto value = [&](const QByteArray& s) -> std::uint32_t { return s == "*" ? largest : s.toUInt(); };
    for (const QByteArray& part : set.split(',')) {
        const qsizetype colon = part.indexOf(':');
        std::uint32_t lo = value(colon < 0 ? part : part.left(colon));
        std::uint32_t hi = colon < 0 ? lo : value(part.mid(colon + 1));
        if (lo > hi)
            std::swap(lo, hi);
        for (const std::uint32_t uid : present) {
            if (uid >= lo && uid <= hi)
                out.insert(uid);
        }
    }
    return out;
}

} // namespace

struct ScriptedImapServer::Impl {
    mutable std::mutex mutex;
    ScriptedImapOptions options;
    QList<Message> mailbox;
    std::uint32_t nextUid = 1;
    std::uint32_t uidValidity = 1700000001;
    QList<QByteArray> caps{"IMAP4rev1", "IDLE", "UIDPLUS", "AUTH=PLAIN", "SASL-IR"};
    int replyDelayMs = 0;
    FaultList<ImapFault> faults;
    Transcript transcript;
    int maxQueued = 0;

    std::unique_ptr<ServerLoop> loop;
    SSL_CTX* tlsContext = nullptr;
    // Sessions run side by side, as on a real server: a client's push
    // connection waits in IDLE while its checks come and go.
    std::mutex sessionsMutex;
    std::vector<std::thread> sessions;

    ~Impl()
    {
        if (tlsContext)
            SSL_CTX_free(tlsContext);
    }

    class Session;
};

// One client connection, served on a thread of its own.
class ScriptedImapServer::Impl::Session {
public:
    Session(Impl& server, int fd)
        : s(server)
        , conn(fd, server.loop->wake())
    {
    }

    void run()
    {
        if (s.options.implicitTls && !conn.startTls(s.tlsContext))
            return;
        if (!greet())
            return;
        Command cmd;
        while (readCommand(cmd)) {
            if (!cmd.answered && !handle(cmd))
                return;
        }
    }

private:
    Impl& s;
    ServedConnection conn;
    bool loggedIn = false;
    bool selected = false;
    bool readOnly = true;
    // The session's view of the mailbox: UIDs in sequence order and the
    // flags last reported.
    QList<std::uint32_t> view;
    std::map<std::uint32_t, std::pair<bool, bool>> viewFlags;
    int trickleMs = 0;

    bool reply(const QByteArray& data)
    {
        int delay = 0;
        {
            std::lock_guard lock(s.mutex);
            delay = s.replyDelayMs;
        }
        if (delay > 0 && !conn.pause(delay))
            return false;
        if (trickleMs > 0) {
            const int ms = trickleMs;
            trickleMs = 0;
            return conn.sendTrickled(data, ms);
        }
        return conn.send(data);
    }

    bool readLine(QByteArray& line, bool countQueue)
    {
        if (!conn.readLine(line))
            return false;
        if (countQueue) {
            int queued = 1;
            for (char c : conn.pending())
                queued += c == '\n' ? 1 : 0;
            std::lock_guard lock(s.mutex);
            s.maxQueued = std::max(s.maxQueued, queued);
        }
        return true;
    }

    bool readBytes(qint64 count, QByteArray& out)
    {
        while (qint64(conn.pending().size()) < count) {
            const QByteArray more = conn.readSome(64 * 1024);
            if (more.isEmpty())
                return false;
            conn.pending().append(more.constData(), std::size_t(more.size()));
        }
        out = QByteArray(conn.pending().data(), qsizetype(count));
        conn.pending().erase(0, std::size_t(count));
        return true;
    }

    // A whole command, literals included; a synchronizing literal gets its "+".
    bool readCommand(Command& cmd)
    {
        QByteArray line;
        if (!readLine(line, true))
            return false;
        cmd = {};
        const qsizetype blank = line.indexOf(' ');
        cmd.tag = blank < 0 ? line : line.left(blank);
        QByteArray rest = blank < 0 ? QByteArray() : line.mid(blank + 1);
        cmd.text = rest;
        for (;;) {
            qint64 size = -1;
            bool sync = true;
            splitWords(rest, cmd.words, size, sync);
            if (size < 0)
                break;
            if (sync) {
                // A fault on "LITERAL" answers instead of the "+": the rest
                // of the command is never sent.
                const int f = applyFault("LITERAL", cmd.tag, cmd.text, [&] { record(cmd.text); });
                if (f != 0) {
                    cmd.answered = true;
                    return f > 0;
                }
                if (!conn.send("+ Ready for literal data\r\n"))
                    return false;
            }
            QByteArray bytes;
            if (!readBytes(size, bytes) || !readLine(rest, false))
                return false;
            cmd.words.append(bytes);
            cmd.text += "\r\n" + bytes + rest;
        }
        return true;
    }

    void record(const QByteArray& text) { s.transcript.add(text, !conn.isTls()); }

    // Whether the fault takes the place of the normal answer (or ends the
    // session) rather than going on to it.
    static bool replacesAnswer(const ImapFault& f)
    {
        switch (f.action) {
        case ImapFault::Action::Stall:
            return f.stallMs < 0;
        case ImapFault::Action::Trickle:
            return !f.text.isEmpty();
        case ImapFault::Action::Before:
        case ImapFault::Action::IdleNotice:
        case ImapFault::Action::IdleEnd:
            return false;
        default:
            return true;
        }
    }

    // Applies a matching fault. 1: the fault answered, 0: go on with the
    // normal answer, -1: end the session. recordFirst runs before a fault
    // that replaces the answer does anything, so that what it records is
    // in the transcript by the time the client has the answer.
    int applyFault(const QByteArray& verb, const QByteArray& tag, const QByteArray& text,
                   const std::function<void()>& recordFirst = {})
    {
        const std::optional<ImapFault> fired =
            s.faults.take(verb, [&](const QByteArray& argument) { return text.contains(argument); });
        if (!fired)
            return 0;
        if (recordFirst && replacesAnswer(*fired))
            recordFirst();
        const ImapFault& f = *fired;
        QByteArray fText = f.text;
        fText.replace("{tag}", tag);
        switch (f.action) {
        case ImapFault::Action::No:
            return reply(tag + " NO " + fText + "\r\n") ? 1 : -1;
        case ImapFault::Action::Bad:
            return reply(tag + " BAD " + fText + "\r\n") ? 1 : -1;
        case ImapFault::Action::Drop:
            return -1;
        case ImapFault::Action::Stall:
            if (f.stallMs < 0) {
                conn.pause(-1);
                return -1;
            }
            return conn.pause(f.stallMs) ? 0 : -1;
        case ImapFault::Action::Reply:
            lastReply = fText;
            return reply(withLineEnd(fText)) ? 1 : -1;
        case ImapFault::Action::Trickle:
            if (!fText.isEmpty())
                return conn.sendTrickled(withLineEnd(fText), f.stallMs) ? 1 : -1;
            trickleMs = f.stallMs;
            return 0;
        case ImapFault::Action::Endless: {
            if (!fText.isEmpty() && !reply(withLineEnd(fText)))
                return -1;
            const QByteArray lines = ("* OK " + QByteArray(993, 'y') + "\r\n").repeated(64);
            while (conn.send(lines)) {
            }
            return -1;
        }
        case ImapFault::Action::Bye:
            reply("* BYE " + fText + "\r\n");
            return -1;
        case ImapFault::Action::Before:
            return reply(withLineEnd(fText)) ? 0 : -1;
        case ImapFault::Action::Reset:
            conn.resetHard();
            return -1;
        case ImapFault::Action::IdleNotice:
        case ImapFault::Action::IdleEnd:
            pendingIdleFault = f;
            return 0;
        }
        return 0;
    }
    std::optional<ImapFault> pendingIdleFault;
    QByteArray lastReply;

    bool greet()
    {
        const int f = applyFault("GREETING", "*", {});
        // A scripted PREAUTH greeting logs the session in.
        if (f > 0 && lastReply.startsWith("* PREAUTH"))
            loggedIn = true;
        if (f != 0)
            return f > 0;
        return reply("* OK IMAP4rev1 scripted server ready\r\n");
    }

    bool tlsOffered() const { return s.tlsContext && !conn.isTls() && !s.options.implicitTls; }

    bool listed(const QByteArray& cap) const
    {
        std::lock_guard lock(s.mutex);
        for (const QByteArray& c : s.caps) {
            if (c.compare(cap, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    }

    QByteArray capabilityLine() const
    {
        QList<QByteArray> caps;
        {
            std::lock_guard lock(s.mutex);
            caps = s.caps;
        }
        if (tlsOffered())
            caps.append("STARTTLS");
        // Logins are allowed once the session is encrypted.
        if (conn.isTls())
            caps.removeIf([](const QByteArray& c) { return c.compare("LOGINDISABLED", Qt::CaseInsensitive) == 0; });
        return "* CAPABILITY " + caps.join(' ') + "\r\n";
    }

    bool ok(const Command& cmd, const QByteArray& text = "completed")
    {
        return reply(cmd.tag + " OK " + text + "\r\n");
    }

    bool handle(const Command& cmd)
    {
        const QByteArray verb = cmd.verb();
        // AUTHENTICATE without an initial response is recorded with the line
        // that follows its "+".
        const bool recordLater = verb == "AUTHENTICATE" && cmd.args().size() < 2;
        if (!recordLater)
            record(cmd.text);
        const int f = applyFault(verb, cmd.tag, cmd.text, [&] {
            if (recordLater)
                record(cmd.text);
        });
        if (f < 0)
            return false;
        if (f > 0)
            return true;

        if (verb == "CAPABILITY")
            return reply(capabilityLine() + cmd.tag + " OK CAPABILITY completed\r\n");
        if (verb == "NOOP")
            return reply(news() + cmd.tag + " OK NOOP completed\r\n");
        if (verb == "LOGOUT") {
            reply("* BYE Logging out\r\n" + cmd.tag + " OK LOGOUT completed\r\n");
            return false;
        }
        if (verb == "STARTTLS") {
            if (!tlsOffered() || loggedIn)
                return reply(cmd.tag + " BAD STARTTLS not available\r\n");
            // Anything the client sent after STARTTLS in clear text is dropped.
            conn.pending().clear();
            return ok(cmd, "Begin TLS negotiation now") && conn.startTls(s.tlsContext);
        }
        if (!loggedIn) {
            if (verb == "LOGIN")
                return login(cmd);
            if (verb == "AUTHENTICATE")
                return authenticate(cmd);
            return reply(cmd.tag + " BAD Not logged in\r\n");
        }
        if (verb == "SELECT" || verb == "EXAMINE")
            return select(cmd, verb == "EXAMINE");
        if (!selected)
            return reply(cmd.tag + " BAD No mailbox selected\r\n");
        if (verb == "UID SEARCH")
            return search(cmd);
        if (verb == "UID FETCH")
            return fetch(cmd);
        if (verb == "UID STORE")
            return store(cmd);
        if (verb == "UID EXPUNGE") {
            if (!listed("UIDPLUS"))
                return reply(cmd.tag + " BAD Unknown command\r\n");
            return expunge(cmd, cmd.args().value(0));
        }
        if (verb == "EXPUNGE")
            return expunge(cmd, {});
        if (verb == "IDLE")
            return idle(cmd);
        return reply(cmd.tag + " BAD Unknown command\r\n");
    }

    bool accept(const Command& cmd, const QByteArray& user, const QByteArray& password)
    {
        bool good = false;
        {
            std::lock_guard lock(s.mutex);
            good = user == s.options.user && password == s.options.password;
        }
        if (!good)
            return reply(cmd.tag + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
        loggedIn = true;
        return reply(cmd.tag + " OK Logged in\r\n");
    }

    bool login(const Command& cmd)
    {
        if (listed("LOGINDISABLED") && !conn.isTls())
            return reply(cmd.tag + " NO [PRIVACYREQUIRED] LOGIN is disabled\r\n");
        const QList<QByteArray> args = cmd.args();
        if (args.size() != 2)
            return reply(cmd.tag + " BAD Wrong arguments\r\n");
        return accept(cmd, args.at(0), args.at(1));
    }

    bool authenticate(const Command& cmd)
    {
        const QList<QByteArray> args = cmd.args();
        if (!listed("AUTH=PLAIN") || args.value(0).toUpper() != "PLAIN") {
            if (args.size() < 2)
                record(cmd.text);
            return reply(cmd.tag + " NO Unsupported authentication mechanism\r\n");
        }
        QByteArray response = args.value(1);
        if (args.size() < 2) {
            if (!conn.send("+ \r\n") || !readLine(response, false))
                return false;
            record(cmd.text + "\r\n" + response);
        } else if (!listed("SASL-IR")) {
            return reply(cmd.tag + " BAD Initial response not supported\r\n");
        }
        if (response == "*")
            return reply(cmd.tag + " BAD Authentication aborted\r\n");
        const QList<QByteArray> parts = QByteArray::fromBase64(response).split('\0');
        if (parts.size() != 3)
            return reply(cmd.tag + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n");
        return accept(cmd, parts.at(1), parts.at(2));
    }

    // Brings the view up to date: EXPUNGE for messages gone, EXISTS when
    // new ones came, FETCH (FLAGS) for changed flags.
    QByteArray news()
    {
        if (!selected)
            return {};
        QList<Message> now;
        {
            std::lock_guard lock(s.mutex);
            now = s.mailbox;
        }
        QByteArray out;
        for (qsizetype i = view.size() - 1; i >= 0; --i) {
            const std::uint32_t uid = view.at(i);
            if (std::none_of(now.cbegin(), now.cend(), [&](const Message& m) { return m.uid == uid; })) {
                out += "* " + QByteArray::number(i + 1) + " EXPUNGE\r\n";
                view.removeAt(i);
                viewFlags.erase(uid);
            }
        }
        for (qsizetype i = 0; i < view.size(); ++i) {
            for (const Message& m : now) {
                if (m.uid != view.at(i))
                    continue;
                const std::pair<bool, bool> flags{m.seen, m.deleted};
                if (viewFlags[m.uid] != flags) {
                    viewFlags[m.uid] = flags;
                    out += "* " + QByteArray::number(i + 1) + " FETCH (FLAGS " + flagList(m.seen, m.deleted)
                        + ")\r\n";
                }
            }
        }
        const qsizetype before = view.size();
        for (const Message& m : now) {
            if (!view.contains(m.uid)) {
                view.append(m.uid);
                viewFlags[m.uid] = {m.seen, m.deleted};
            }
        }
        if (view.size() != before)
            out += "* " + QByteArray::number(view.size()) + " EXISTS\r\n* 0 RECENT\r\n";
        return out;
    }

    bool select(const Command& cmd, bool examine)
    {
        selected = false;
        view.clear();
        viewFlags.clear();
        if (cmd.args().value(0).toUpper() != "INBOX")
            return reply(cmd.tag + " NO Mailbox doesn't exist\r\n");
        std::uint32_t validity = 0;
        std::uint32_t next = 0;
        {
            std::lock_guard lock(s.mutex);
            for (const Message& m : s.mailbox) {
                view.append(m.uid);
                viewFlags[m.uid] = {m.seen, m.deleted};
            }
            validity = s.uidValidity;
            next = s.nextUid;
        }
        selected = true;
        readOnly = examine;
        return reply("* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
                     "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Flags permitted.\r\n* "
                     + QByteArray::number(view.size()) + " EXISTS\r\n* 0 RECENT\r\n* OK [UIDVALIDITY "
                     + QByteArray::number(validity) + "] UIDs valid\r\n* OK [UIDNEXT " + QByteArray::number(next)
                     + "] Predicted next UID\r\n" + cmd.tag + (examine ? " OK [READ-ONLY]" : " OK [READ-WRITE]")
                     + " Select completed\r\n");
    }

    bool search(const Command& cmd)
    {
        bool unseen = false;
        bool undeleted = false;
        for (const QByteArray& key : cmd.args()) {
            const QByteArray k = key.toUpper();
            if (k == "UNSEEN")
                unseen = true;
            else if (k == "UNDELETED")
                undeleted = true;
            else if (k != "ALL")
                return reply(cmd.tag + " BAD Unknown search key\r\n");
        }
        QByteArray out = "* SEARCH";
        {
            std::lock_guard lock(s.mutex);
            for (const Message& m : s.mailbox) {
                if (view.contains(m.uid) && !(unseen && m.seen) && !(undeleted && m.deleted))
                    out += ' ' + QByteArray::number(m.uid);
            }
        }
        return reply(out + "\r\n" + cmd.tag + " OK Search completed\r\n");
    }

    bool fetch(const Command& cmd)
    {
        const QList<QByteArray> args = cmd.args();
        const QByteArray items = args.mid(1).join(' ').toUpper();
        // BODY[] marks the message \Seen (outside EXAMINE); BODY.PEEK[] does
        // not. Both answer as BODY[].
        const bool body = items.contains("BODY[]") || items.contains("BODY.PEEK[]");
        const bool marks = items.contains("BODY[]");
        const std::set<std::uint32_t> uids = uidsInSet(args.value(0), view);
        QByteArray out;
        for (const std::uint32_t uid : uids) {
            const qsizetype seq = view.indexOf(uid) + 1;
            Message m;
            bool markedNow = false;
            {
                std::lock_guard lock(s.mutex);
                const auto it =
                    std::find_if(s.mailbox.begin(), s.mailbox.end(), [&](const Message& x) { return x.uid == uid; });
                if (it == s.mailbox.end())
                    continue;
                if (marks && !readOnly && !it->seen) {
                    it->seen = true;
                    markedNow = true;
                }
                m = *it;
            }
            QByteArray line = "* " + QByteArray::number(seq) + " FETCH (UID " + QByteArray::number(uid);
            if (items.contains("FLAGS") || markedNow) {
                line += " FLAGS " + flagList(m.seen, m.deleted);
                viewFlags[uid] = {m.seen, m.deleted};
            }
            const qsizetype fieldsAt = items.indexOf("HEADER.FIELDS (");
            if (fieldsAt >= 0) {
                const qsizetype open = fieldsAt + 15;
                const QByteArray list = items.mid(open, items.indexOf(')', open) - open);
                line += " BODY[HEADER.FIELDS (" + list + ")] " + literal(headerFields(m.raw, list.split(' ')));
            }
            if (body)
                line += " BODY[] " + literal(m.raw);
            out += line + ")\r\n";
        }
        return reply(out + cmd.tag + " OK Fetch completed\r\n");
    }

    bool store(const Command& cmd)
    {
        if (readOnly)
            return reply(cmd.tag + " NO Mailbox is read-only\r\n");
        const QList<QByteArray> args = cmd.args();
        const QByteArray what = args.value(1).toUpper();
        const QByteArray flags = args.value(2).toUpper();
        const bool add = what.startsWith('+');
        if (!add && !what.startsWith('-'))
            return reply(cmd.tag + " BAD Invalid STORE\r\n");
        const std::set<std::uint32_t> uids = uidsInSet(args.value(0), view);
        QByteArray out;
        {
            std::lock_guard lock(s.mutex);
            for (Message& m : s.mailbox) {
                if (!uids.count(m.uid))
                    continue;
                if (flags.contains("\\SEEN"))
                    m.seen = add;
                if (flags.contains("\\DELETED"))
                    m.deleted = add;
                viewFlags[m.uid] = {m.seen, m.deleted};
                if (!what.endsWith(".SILENT"))
                    out += "* " + QByteArray::number(view.indexOf(m.uid) + 1) + " FETCH (UID "
                        + QByteArray::number(m.uid) + " FLAGS " + flagList(m.seen, m.deleted) + ")\r\n";
            }
        }
        return reply(out + cmd.tag + " OK Store completed\r\n");
    }

    // Removes the \Deleted messages, of the set only when one is given.
    bool expunge(const Command& cmd, const QByteArray& set)
    {
        const std::set<std::uint32_t> inSet = set.isEmpty() ? std::set<std::uint32_t>() : uidsInSet(set, view);
        QByteArray out;
        {
            std::lock_guard lock(s.mutex);
            for (qsizetype i = view.size() - 1; i >= 0; --i) {
                const std::uint32_t uid = view.at(i);
                if (!set.isEmpty() && !inSet.count(uid))
                    continue;
                const auto it =
                    std::find_if(s.mailbox.begin(), s.mailbox.end(), [&](const Message& m) { return m.uid == uid; });
                if (it == s.mailbox.end() || !it->deleted)
                    continue;
                s.mailbox.erase(it);
                view.removeAt(i);
                viewFlags.erase(uid);
                out += "* " + QByteArray::number(i + 1) + " EXPUNGE\r\n";
            }
        }
        return reply(out + cmd.tag + " OK Expunge completed\r\n");
    }

    // "+ idling", then news as it happens and any IDLE fault's doing, until
    // the client sends DONE.
    bool idle(const Command& cmd)
    {
        if (!listed("IDLE"))
            return reply(cmd.tag + " BAD Unknown command\r\n");
        const std::optional<ImapFault> fault = std::exchange(pendingIdleFault, std::nullopt);
        if (!reply("+ idling\r\n"))
            return false;
        const auto start = Clock::now();
        bool faultDone = !fault;
        for (;;) {
            if (!faultDone && Clock::now() - start >= std::chrono::milliseconds(fault->stallMs)) {
                faultDone = true;
                if (fault->action == ImapFault::Action::IdleEnd)
                    return reply(cmd.tag + " OK " + fault->text + "\r\n");
                if (!reply(withLineEnd(fault->text)))
                    return false;
            }
            const QByteArray changes = news();
            if (!changes.isEmpty() && !reply(changes))
                return false;
            const int input = conn.waitInput(10);
            if (input < 0)
                return false;
            if (input == 0)
                continue;
            QByteArray line;
            if (!readLine(line, true))
                return false;
            record(line);
            if (line.toUpper() != "DONE")
                return reply(cmd.tag + " BAD Expected DONE\r\n");
            const int f = applyFault("DONE", cmd.tag, line);
            if (f != 0)
                return f > 0;
            return reply(news() + cmd.tag + " OK Idle completed\r\n");
        }
    }
};

ScriptedImapServer::ScriptedImapServer(const ScriptedImapOptions& options)
    : d(std::make_unique<Impl>())
{
    d->options = options;
    if (!options.certificateFile.isEmpty())
        d->tlsContext = makeServerTlsContext(options.certificateFile, options.keyFile);
    d->loop = std::make_unique<ServerLoop>(options.ipv6, options.port);
    Impl* impl = d.get();
    d->loop->start([impl](int fd) {
        const std::lock_guard lock(impl->sessionsMutex);
        // The thread takes the accept loop's signal mask: no SIGPIPE.
        impl->sessions.emplace_back([impl, fd] { Impl::Session(*impl, fd).run(); });
    });
}

ScriptedImapServer::~ScriptedImapServer()
{
    stop();
}

void ScriptedImapServer::stop()
{
    // The wake-up raised by the loop's stop ends every session's waits.
    d->loop->stop();
    std::vector<std::thread> sessions;
    {
        const std::lock_guard lock(d->sessionsMutex);
        sessions.swap(d->sessions);
    }
    for (std::thread& t : sessions)
        t.join();
}

std::uint16_t ScriptedImapServer::port() const
{
    return d->loop->port();
}

QString ScriptedImapServer::host() const
{
    return d->options.ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1");
}

void ScriptedImapServer::setMessages(const QList<QByteArray>& messages)
{
    std::lock_guard lock(d->mutex);
    d->mailbox.clear();
    for (const QByteArray& raw : messages)
        d->mailbox.append({d->nextUid++, raw, false, false});
}

std::uint32_t ScriptedImapServer::addMessage(const QByteArray& raw)
{
    std::lock_guard lock(d->mutex);
    d->mailbox.append({d->nextUid, raw, false, false});
    return d->nextUid++;
}

void ScriptedImapServer::removeMessage(std::uint32_t uid)
{
    std::lock_guard lock(d->mutex);
    d->mailbox.removeIf([&](const Message& m) { return m.uid == uid; });
}

void ScriptedImapServer::setSeen(std::uint32_t uid, bool seen)
{
    std::lock_guard lock(d->mutex);
    for (Message& m : d->mailbox) {
        if (m.uid == uid)
            m.seen = seen;
    }
}

void ScriptedImapServer::setDeleted(std::uint32_t uid, bool deleted)
{
    std::lock_guard lock(d->mutex);
    for (Message& m : d->mailbox) {
        if (m.uid == uid)
            m.deleted = deleted;
    }
}

QList<std::uint32_t> ScriptedImapServer::uids() const
{
    std::lock_guard lock(d->mutex);
    QList<std::uint32_t> out;
    for (const Message& m : d->mailbox)
        out.append(m.uid);
    return out;
}

bool ScriptedImapServer::seen(std::uint32_t uid) const
{
    std::lock_guard lock(d->mutex);
    return std::any_of(d->mailbox.cbegin(), d->mailbox.cend(), [&](const Message& m) { return m.uid == uid && m.seen; });
}

bool ScriptedImapServer::deleted(std::uint32_t uid) const
{
    std::lock_guard lock(d->mutex);
    return std::any_of(d->mailbox.cbegin(), d->mailbox.cend(),
                       [&](const Message& m) { return m.uid == uid && m.deleted; });
}

QByteArray ScriptedImapServer::message(std::uint32_t uid) const
{
    std::lock_guard lock(d->mutex);
    for (const Message& m : d->mailbox) {
        if (m.uid == uid)
            return m.raw;
    }
    return {};
}

void ScriptedImapServer::setUidValidity(std::uint32_t value)
{
    std::lock_guard lock(d->mutex);
    d->uidValidity = value;
}

std::uint32_t ScriptedImapServer::uidValidity() const
{
    std::lock_guard lock(d->mutex);
    return d->uidValidity;
}

void ScriptedImapServer::setCredentials(const QByteArray& user, const QByteArray& password)
{
    std::lock_guard lock(d->mutex);
    d->options.user = user;
    d->options.password = password;
}

void ScriptedImapServer::setCapabilities(const QList<QByteArray>& words)
{
    std::lock_guard lock(d->mutex);
    d->caps = words;
}

QList<QByteArray> ScriptedImapServer::capabilities() const
{
    std::lock_guard lock(d->mutex);
    return d->caps;
}

void ScriptedImapServer::setReplyDelayMs(int ms)
{
    std::lock_guard lock(d->mutex);
    d->replyDelayMs = ms;
}

void ScriptedImapServer::addFault(const ImapFault& fault)
{
    d->faults.add(fault);
}

void ScriptedImapServer::clearFaults()
{
    d->faults.clear();
}

QList<QByteArray> ScriptedImapServer::received() const
{
    return d->transcript.lines();
}

QList<QByteArray> ScriptedImapServer::receivedInClear() const
{
    return d->transcript.inClear();
}

QList<QByteArray> ScriptedImapServer::receivedVerbs() const
{
    QList<QByteArray> out;
    for (const QByteArray& line : d->transcript.lines()) {
        const QList<QByteArray> words = line.split('\r').value(0).simplified().split(' ');
        const QByteArray first = words.value(0).toUpper();
        out.append(first == "UID" ? first + ' ' + words.value(1).toUpper() : first);
    }
    return out;
}

void ScriptedImapServer::clearReceived()
{
    d->transcript.clear();
    std::lock_guard lock(d->mutex);
    d->maxQueued = 0;
}

int ScriptedImapServer::sessionCount() const
{
    return d->loop->sessionCount();
}

int ScriptedImapServer::maxQueuedCommands() const
{
    std::lock_guard lock(d->mutex);
    return d->maxQueued;
}

} // namespace testsupport
