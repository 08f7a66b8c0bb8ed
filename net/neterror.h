// The one error type of the protocol clients: its text is what the user sees.
#pragma once

#include "visibletext.h"

#include <QString>
#include <stdexcept>
#include <utility>

namespace net {

// Server text ends up in these texts; they are kept to what may be shown on
// one line (visibleText), so a reply cannot hide or turn around the words
// of an error box.
class NetError : public std::runtime_error {
public:
    explicit NetError(const QString& text)
        : NetError(Shown{visibleText(text)})
    {
    }
    const QString& text() const { return m_text; }

private:
    struct Shown {
        QString text;
    };
    explicit NetError(Shown shown)
        : std::runtime_error(shown.text.toStdString())
        , m_text(std::move(shown.text))
    {
    }

    QString m_text;
};

// The text of a caught error for the user or the log: a NetError's own
// text, or what any other error says of itself.
inline QString errorText(const std::exception& e)
{
    const auto* netError = dynamic_cast<const NetError*>(&e);
    return netError ? netError->text() : QString::fromUtf8(e.what());
}

// Waiting limits of a connection, in milliseconds.
struct Timeouts {
    int connectMs = 30000;
    int replyMs = 60000;
};

} // namespace net
