// Opening a document with the desktop's default program.
#pragma once

#include <QString>
#include <functional>

namespace rt {

// Opens a document with the desktop's default program, busy cursor
// meanwhile; done is called later with whether the opener succeeded.
void shellOpen(const QString& file, const QString& parameters, const QString& folder,
               const std::function<void(bool opened)>& done = {});

} // namespace rt
