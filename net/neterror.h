// The one error type of the protocol clients: its text is what the user sees.
#pragma once

#include <QString>
#include <stdexcept>

namespace net {

class NetError : public std::runtime_error {
public:
    explicit NetError(const QString& text)
        : std::runtime_error(text.toStdString())
        , m_text(text)
    {
    }
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

// Waiting limits of a connection, in milliseconds.
struct Timeouts {
    int connectMs = 30000;
    int replyMs = 60000;
};

} // namespace net
