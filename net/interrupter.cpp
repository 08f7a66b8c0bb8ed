#include "interrupter.h"

#include "neterror.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace net {

QString interruptedText(const QString& where)
{
    return QStringLiteral("Ventingen på %1 ble avbrutt").arg(where);
}

Interrupter::Interrupter()
    : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_fd < 0)
        throw NetError(QStringLiteral("Kan ikke lage en vekker for nettverksventing (errno %1)").arg(errno));
}

Interrupter::~Interrupter()
{
    ::close(m_fd);
}

void Interrupter::raise()
{
    // The flag first: a wait that wakes up reads it.
    m_raised.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

void Interrupter::clear()
{
    m_raised.store(false);
    settle();
}

void Interrupter::settle() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_fd, &count, sizeof count);
}

void throwIfInterrupted(const Interrupter* interrupter, const QString& where)
{
    if (interrupter && interrupter->raised())
        throw NetError(interruptedText(where));
}

} // namespace net
