// The error text a protocol step ends with, for assertions on what a user
// reads.
#pragma once

#include "neterror.h"

#include <QString>
#include <optional>
#include <string>

namespace testsupport {

// The NetError text thrown by f, or nothing when it did not throw.
template <class F>
std::optional<QString> netError(F&& f)
{
    try {
        f();
    } catch (const net::NetError& e) {
        return e.text();
    }
    return std::nullopt;
}

// A QString for gtest's matchers and messages.
inline std::string str(const QString& s)
{
    return s.toStdString();
}

} // namespace testsupport
