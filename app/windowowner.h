// The program's windows, one each, made when the program starts and kept
// until it ends. Whoever opens one of them gets it from here.
#pragma once

#include <memory>

namespace connectiontest {
class ConnectionTestWindow;
}
namespace composer {
class ComposerWindow;
}
namespace servers {
class FtpTransferWindow;
class InputDialog;
class ServerProfileDialog;
}

namespace app {
class StripWindow;
class AboutDialog;

class WindowOwner {
public:
    // Makes the windows, hidden, the strip first, and connects them: every
    // other window belongs to the strip, so the window manager keeps it
    // above the always-on-top strip, and it opens centred over the strip.
    // Closing the strip ends the program.
    WindowOwner();
    // Destroys them in the reverse order, the strip last.
    ~WindowOwner();
    WindowOwner(const WindowOwner&) = delete;
    WindowOwner& operator=(const WindowOwner&) = delete;

    StripWindow& strip() const { return *m_strip; }
    AboutDialog& aboutDialog() const { return *m_aboutDialog; }
    connectiontest::ConnectionTestWindow& connectionTestWindow() const { return *m_connectionTestWindow; }
    composer::ComposerWindow& composerWindow() const { return *m_composerWindow; }
    servers::FtpTransferWindow& ftpTransferWindow() const { return *m_ftpTransferWindow; }
    servers::InputDialog& inputDialog() const { return *m_inputDialog; }
    servers::ServerProfileDialog& serverProfileDialog() const { return *m_serverProfileDialog; }

    // The strip's "Oppsett": the settings dialog, made afresh at each
    // opening so that it always shows what is stored, shown modally over
    // the strip.
    void openSettingsDialog();

private:
    // In the order they are made; members are destroyed in reverse.
    std::unique_ptr<StripWindow> m_strip;
    std::unique_ptr<AboutDialog> m_aboutDialog;
    std::unique_ptr<connectiontest::ConnectionTestWindow> m_connectionTestWindow;
    std::unique_ptr<composer::ComposerWindow> m_composerWindow;
    std::unique_ptr<servers::FtpTransferWindow> m_ftpTransferWindow;
    std::unique_ptr<servers::InputDialog> m_inputDialog;
    std::unique_ptr<servers::ServerProfileDialog> m_serverProfileDialog;
};

// The start: the strip shows (and runs its show sequence) first; the
// passwords still in the settings file move to the keyring, which may ask
// the user to create or unlock a keyring, only after, from the event loop
// and never while the start-up check waits for the server.
void showAtStart(StripWindow& strip);

} // namespace app
