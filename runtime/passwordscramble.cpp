#include "passwordscramble.h"

namespace rt {

QString scrambleText(const QString& plain)
{
    QString out;
    out.reserve(plain.size() + 2);
    out.append(QLatin1Char('z'));
    for (qsizetype i = 0; i < plain.size(); ++i)
        out.append(QChar(char16_t(plain.at(i).unicode() + (i + 1))));
    out.append(QLatin1Char('2'));
    return out;
}

QString unscrambleText(const QString& stored)
{
    if (stored.size() < 2)
        return {};
    QString out;
    out.reserve(stored.size() - 2);
    for (qsizetype i = 1; i < stored.size() - 1; ++i)
        out.append(QChar(char16_t(stored.at(i).unicode() - i)));
    return out;
}

} // namespace rt
