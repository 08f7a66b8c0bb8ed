// The platform layer: everything the runtime needs from the operating system
// and the desktop, behind one interface. The Linux implementation lives in
// platform_linux.cpp; another system needs only another implementation of
// SystemPlatform's methods. Tests install a fake with setPlatform().
#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

namespace rt {

enum class MsgIcon { None, Error, Warning, Information };

// Hooks the GUI installs at start; without them messages go to stderr and the
// busy cursor and beep do nothing.
struct UiHooks {
    std::function<void(const QString& caption, const QString& text, MsgIcon icon)> messageBox;
    std::function<void(bool busy)> busyCursor;
    std::function<void()> beep;
    // A yes/no question; true for yes.
    std::function<bool(const QString& caption, const QString& text)> question;
};

class Platform {
public:
    virtual ~Platform() = default;

    // The per-user application-data root, without a trailing '/'.
    virtual QString appDataRoot() const;
    // Full path of the running program file.
    virtual QString programFile() const;
    // An environment variable, empty when unset.
    virtual QString environment(const char* name) const;

    // Machine facts (the registry reads on Windows).
    virtual QString hostName() const;
    virtual QString dnsDomain() const;
    // First non-loopback IPv4 address, empty when there is none.
    virtual QString firstIPv4Address() const;
    // The system's temporary folder: TMPDIR, else /tmp.
    virtual QString systemTempFolder() const;
    // The print spool folder; there is no per-user spool on this desktop.
    virtual QString spoolFolder() const;
    // The logged-in user: USERNAME, else the login name of the process.
    virtual QString loginUser() const;

    // Local date and time as the log and the audit header write it.
    virtual QString dateTimeText(const QDateTime& when) const;
    QString nowText() const { return dateTimeText(QDateTime::currentDateTime()); }

    // Opens a document with the desktop's default program; does not wait.
    // When the opener has ended, done is called once, later, from the
    // calling thread's loop (so it may show a box): true when the opener
    // reported success, false when it could not start or ended with an
    // error status.
    virtual void shellOpen(const QString& file, const QString& parameters, const QString& folder,
                           const std::function<void(bool opened)>& done = {});

    // A file marked read-only: the owner may not write it. Checked on the
    // permission bits so the result is the same for root as for a user.
    virtual bool isMarkedReadOnly(const QString& path) const;

    void messageBox(const QString& caption, const QString& text, MsgIcon icon);
    void setBusyCursor(bool busy);
    void beep();
    // Asks the user; without a GUI the answer is no.
    bool question(const QString& caption, const QString& text);

    void setUiHooks(UiHooks hooks) { m_hooks = std::move(hooks); }
    const UiHooks& uiHooks() const { return m_hooks; }

private:
    UiHooks m_hooks;
};

// The platform in use; the system's own unless a test installed another.
Platform& platform();
// Installs a platform (not owned); nullptr goes back to the system's own.
void setPlatform(Platform* p);

// Keeps what the process writes to itself: new files and folders are
// readable by the user alone, and no core file (which could hold a password)
// is written.
void protectUserData();

// Large blocks (a list cache being written, a long UIDL list) go straight
// back to the system when freed, instead of staying with the process for
// reuse. Call once at start-up, before any thread.
void returnLargeBlocksAtOnce();
// Hands memory the process freed back to the system, so a large piece of
// work (a check of 10,000 messages) leaves no lasting growth behind it.
void releaseFreedMemory();

// Short date of the given locale with a four-digit year, a space and a
// 24-hour time with seconds: "30.10.2011 13:17:13" for Norwegian settings.
QString formatDateTime(const QDateTime& when, const QLocale& locale);

// Restores the busy cursor even when an exception passes through.
class BusyCursor {
public:
    BusyCursor() { platform().setBusyCursor(true); }
    ~BusyCursor() { platform().setBusyCursor(false); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace rt
