#include "username.h"

#include "platform.h"
#include "state.h"

namespace rt {

QString username()
{
    RuntimeState& s = state();
    if (s.UserNameCache.isEmpty())
        s.UserNameCache = !s.OptionUser.isEmpty() ? s.OptionUser : registryuser();
    if (s.UserNameCache.isEmpty())
        s.UserNameCache = QStringLiteral("BRUKER");
    return s.UserNameCache.toUpper();
}

QString userIniFile()
{
    // Characters that could lead out of the settings folder become "_".
    QString name = username();
    for (QChar& c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() == 0)
            c = QLatin1Char('_');
    }
    for (qsizetype i = 0; i < name.size() && name.at(i) == QLatin1Char('.'); ++i)
        name[i] = QLatin1Char('_');
    return state().EtcFolder + name + QStringLiteral(".INI");
}

QString registryuser()
{
    return platform().loginUser();
}

} // namespace rt
