// The program's windows, one each, made when the program starts and kept
// until it ends. Whoever opens one of them gets it from here.
#pragma once

#include <memory>

namespace ipsjekk {
class TIPTestForm;
}
namespace mailout {
class TSendSMTPForm;
}
namespace servers {
class TFTPform;
class TInputForm;
class TServerOppsettForm;
}

namespace app {
class TBrevglimtForm;
class TAboutBox;

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

    TBrevglimtForm& strip() const { return *m_strip; }
    TAboutBox& aboutBox() const { return *m_aboutBox; }
    ipsjekk::TIPTestForm& connectionTest() const { return *m_connectionTest; }
    mailout::TSendSMTPForm& composer() const { return *m_composer; }
    servers::TFTPform& ftpTransfer() const { return *m_ftpTransfer; }
    servers::TInputForm& input() const { return *m_input; }
    servers::TServerOppsettForm& serverProfile() const { return *m_serverProfile; }

    // The strip's "Oppsett": the settings dialog, made afresh at each
    // opening so that it always shows what is stored, shown modally over
    // the strip.
    void openSettingsDialog();

private:
    // In the order they are made; members are destroyed in reverse.
    std::unique_ptr<TBrevglimtForm> m_strip;
    std::unique_ptr<TAboutBox> m_aboutBox;
    std::unique_ptr<ipsjekk::TIPTestForm> m_connectionTest;
    std::unique_ptr<mailout::TSendSMTPForm> m_composer;
    std::unique_ptr<servers::TFTPform> m_ftpTransfer;
    std::unique_ptr<servers::TInputForm> m_input;
    std::unique_ptr<servers::TServerOppsettForm> m_serverProfile;
};

// The start: the strip shows (and runs its show sequence) first; the
// passwords still in the settings file move to the keyring, which may ask
// the user to create or unlock a keyring, only after, from the event loop
// and never while the start-up check waits for the server.
void showAtStart(TBrevglimtForm& strip);

} // namespace app
