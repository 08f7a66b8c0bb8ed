#include "username.h"

#include "platform.h"
#include "state.h"

namespace rt {

QString userName()
{
    RuntimeState& s = state();
    if (s.userNameCache.isEmpty())
        s.userNameCache = !s.optionUser.isEmpty() ? s.optionUser : loginUserName();
    if (s.userNameCache.isEmpty())
        s.userNameCache = QStringLiteral("BRUKER");
    return s.userNameCache.toUpper();
}

QString userSettingsFile()
{
    // Characters that could lead out of the settings folder become "_".
    QString name = userName();
    for (QChar& c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() == 0)
            c = QLatin1Char('_');
    }
    for (qsizetype i = 0; i < name.size() && name.at(i) == QLatin1Char('.'); ++i)
        name[i] = QLatin1Char('_');
    return state().etcFolder + name + QStringLiteral(".INI");
}

QString loginUserName()
{
    return platform().loginUser();
}

} // namespace rt
