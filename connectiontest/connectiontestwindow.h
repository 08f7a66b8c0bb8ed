// The connectivity test: does a server accept TCP connections on a port?
// testConnection makes one connection attempt and shows its progress, and a
// failure, in a small borderless status window.
#pragma once

#include "owneddialog.h"

#include <QColor>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;

namespace connectiontest {

// Panel colours: while testing or idle, and after a reported failure.
inline const QColor kNormalColour(192, 192, 240);
inline const QColor kFailureColour(240, 160, 160);

// How long one test may try to connect before it counts as failed.
inline constexpr int kConnectTimeoutMs = 15000;

class ConnectionTestWindow : public gui::OwnedDialog {
    Q_OBJECT
public:
    explicit ConnectionTestWindow(QWidget* parent = nullptr);

    // Connects to host:port and closes the connection again at once, sending
    // nothing. The host text may carry its own port ("host:port",
    // "[v6]:port"), which then wins over port. While the attempt runs, the
    // window shows "Sjekker host:port ...." and the busy cursor is on; the
    // attempt runs on a worker thread, so the window keeps painting. True
    // when the connection was made, false when it was not (name not found,
    // unreachable, refused, time-out, empty host, port outside 0-65535). With
    // report, the window then stays up with its "O&k" button and the
    // outcome: "Tilkoblingen virker: host:port", or in the failure colour
    // "Kan ikke koble til: host:port"; without, it hides.
    bool testConnection(const QString& host, int port, bool report);

    QFrame* statusPanel; // its colour tells testing from failure
    QLabel* statusLabel;
    QPushButton* okButton; // "O&k": dismisses a failure; hidden while testing

    // The panel's colour now.
    QColor panelColour() const;
    void setPanelColour(const QColor& colour);

    // Event handlers.
    // Each showing from hidden starts in the normal colour.
    void resetColourOnShow();
    // "O&k", Enter or Esc: back to the normal colour, and hidden.
    void dismiss();

    // Shows the window for a test: centred, and above a modal dialog that
    // is open (so that its button stays usable).
    void showForTest();

protected:
    // Over the owner; without one, over a modal dialog that is open.
    QWidget* placedOver() const override;
    void opening() override;
    // Esc does what "O&k" does.
    void reject() override;
};

} // namespace connectiontest
