// A stop request another thread raises to end a network step's waits at
// once, without waiting for shutdown: the line channel's waits wake up
// through a file descriptor, the connect and the TLS handshake look at it
// between their short waits.
#pragma once

#include <QString>

#include <atomic>

namespace net {

// "Ventingen på <where> ble avbrutt": the text of a step ended this way.
QString interruptedText(const QString& where);

class Interrupter {
public:
    Interrupter(); // throws NetError when no descriptor is left
    ~Interrupter();
    Interrupter(const Interrupter&) = delete;
    Interrupter& operator=(const Interrupter&) = delete;

    // Stays raised until clear(). Both safe from any thread.
    void raise();
    void clear();
    bool raised() const { return m_raised.load(); }
    // Readable once raised (and perhaps for a moment after a clear()).
    int fd() const { return m_fd; }
    // After a wake-up while not raised: empties the descriptor.
    void settle() const;

private:
    int m_fd = -1;
    std::atomic<bool> m_raised{false};
};

// Throws NetError(interruptedText(where)) when interrupter is set and raised.
void throwIfInterrupted(const Interrupter* interrupter, const QString& where);

} // namespace net
