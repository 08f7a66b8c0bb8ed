// What the scripted servers keep besides the connection: the faults a test
// arranges and the commands that arrived. Both are safe from any thread.
#pragma once

#include <QByteArray>
#include <QList>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace testsupport {

// The fields every scripted fault has. Derived adds its protocol's actions
// and factories; Action's first enumerator is the default.
template <class Derived, class ActionType>
struct ScriptedFault {
    using Action = ActionType;

    // A command verb (any case), or "GREETING" for the server's first line.
    QByteArray verb;
    Action action{};
    QByteArray text;
    int stallMs = -1;
    // 0: every matching command; n: only the n-th one since the fault was
    // added, counted over all sessions.
    int occurrence = 0;
    // Empty: any command with the verb; otherwise only those the server's
    // own rule accepts (POP3: the first argument equals it; SMTP: the line
    // holds it).
    QByteArray argument;

    static Derived make(const QByteArray& verb, Action action, const QByteArray& text = {}, int stallMs = -1)
    {
        Derived f;
        f.verb = verb;
        f.action = action;
        f.text = text;
        f.stallMs = stallMs;
        return f;
    }

    Derived onOccurrence(int n) const
    {
        Derived f = static_cast<const Derived&>(*this);
        f.occurrence = n;
        return f;
    }

    Derived onArgument(const QByteArray& argumentText) const
    {
        Derived f = static_cast<const Derived&>(*this);
        f.argument = argumentText;
        return f;
    }
};

// The faults in force. Every fault for the verb whose argument fits counts
// the command; the first one that fires on it wins.
template <class Fault>
class FaultList {
public:
    void add(Fault fault)
    {
        fault.verb = fault.verb.toUpper();
        std::lock_guard lock(m_mutex);
        m_faults.push_back({std::move(fault), 0});
    }

    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_faults.clear();
    }

    std::optional<Fault> take(const QByteArray& verb, const std::function<bool(const QByteArray&)>& argumentFits)
    {
        std::lock_guard lock(m_mutex);
        std::optional<Fault> fired;
        for (Counted& c : m_faults) {
            if (c.fault.verb != verb || (!c.fault.argument.isEmpty() && !argumentFits(c.fault.argument)))
                continue;
            ++c.seen;
            if (!fired && (c.fault.occurrence == 0 || c.fault.occurrence == c.seen))
                fired = c.fault;
        }
        return fired;
    }

private:
    struct Counted {
        Fault fault;
        int seen;
    };
    std::mutex m_mutex;
    std::vector<Counted> m_faults;
};

// The command lines received over all sessions, in order.
class Transcript {
public:
    // inClear: the line came before the session turned to TLS.
    void add(const QByteArray& line, bool inClear)
    {
        std::lock_guard lock(m_mutex);
        m_lines.append(line);
        if (inClear)
            m_inClear.append(line);
    }

    QList<QByteArray> lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

    // The verbs, upper-cased.
    QList<QByteArray> verbs() const
    {
        std::lock_guard lock(m_mutex);
        QList<QByteArray> out;
        for (const QByteArray& line : m_lines)
            out.append(line.simplified().split(' ').value(0).toUpper());
        return out;
    }

    QList<QByteArray> inClear() const
    {
        std::lock_guard lock(m_mutex);
        return m_inClear;
    }

    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
        m_inClear.clear();
    }

private:
    mutable std::mutex m_mutex;
    QList<QByteArray> m_lines;
    QList<QByteArray> m_inClear;
};

} // namespace testsupport
