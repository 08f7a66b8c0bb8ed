// Keeps the runtime's settings object on the per-user file while a scope
// lives, so that reads and writes of several sections share one load and
// one save.
#pragma once

namespace settings {

// The outermost scope switches to the per-user file; at its end it selects
// section "STANDARD" and goes back to the main file, which saves the
// per-user file. Inner scopes change nothing. Window thread only, as the
// settings object itself.
class UserFileScope {
public:
    UserFileScope();
    ~UserFileScope();
    UserFileScope(const UserFileScope&) = delete;
    UserFileScope& operator=(const UserFileScope&) = delete;
};

} // namespace settings
