#include "desktopopener.h"

#include "platform.h"

namespace rt {

void shellOpen(const QString& file, const QString& parameters, const QString& folder,
               const std::function<void(bool opened)>& done)
{
    platform().shellOpen(file, parameters, folder, done);
}

} // namespace rt
