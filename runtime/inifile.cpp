#include "inifile.h"

#include "platform.h"
#include "textcodec.h"

#include <QFile>
#include <QSaveFile>

namespace rt {

namespace {
bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}
} // namespace

bool parseIniInteger(const QString& text, qint32& out)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    qsizetype i = 0;
    bool negative = false;
    if (t[0] == QLatin1Char('+') || t[0] == QLatin1Char('-')) {
        negative = t[0] == QLatin1Char('-');
        i = 1;
    }
    if (i >= t.size())
        return false;
    qint64 value = 0;
    for (; i < t.size(); ++i) {
        const char16_t c = t[i].unicode();
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > qint64(2147483648LL))
            return false;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL || value < -2147483648LL)
        return false;
    out = qint32(value);
    return true;
}

IniFileObj::IniFileObj(QString fileName)
    : m_fileName(std::move(fileName))
{
    QFile f(m_fileName);
    if (f.open(QIODevice::ReadOnly))
        parse(decodeFileLines(f.readAll()));
}

IniFileObj::IniFileObj(QString fileName, const QString& text)
    : m_fileName(std::move(fileName))
{
    parse(text.split(QLatin1Char('\n')));
}

void IniFileObj::parse(const QStringList& lines)
{
    Section* current = nullptr;
    std::vector<Entry> leading; // comments before the first section
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (trimmed.startsWith(QLatin1Char('[')) && trimmed.endsWith(QLatin1Char(']'))) {
            current = &sectionFor(trimmed.mid(1, trimmed.size() - 2).trimmed());
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const bool comment = trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'));
        if (!current) {
            if (comment)
                leading.push_back({QString(), line});
            continue;
        }
        if (comment || eq <= 0) {
            current->entries.push_back({QString(), line});
            continue;
        }
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1);
        bool replaced = false;
        for (Entry& e : current->entries) {
            if (!e.key.isEmpty() && sameName(e.key, key)) {
                e.value = value;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            current->entries.push_back({key, value});
    }
    if (!leading.empty())
        m_sections.insert(m_sections.begin(), Section{QString(), std::move(leading)});
}

const IniFileObj::Section* IniFileObj::findSection(const QString& name) const
{
    for (const Section& s : m_sections) {
        if (!s.name.isEmpty() && sameName(s.name, name))
            return &s;
    }
    return nullptr;
}

IniFileObj::Section& IniFileObj::sectionFor(const QString& name)
{
    if (const Section* s = findSection(name))
        return const_cast<Section&>(*s);
    m_sections.push_back(Section{name, {}});
    return m_sections.back();
}

QString IniFileObj::readString(const QString& section, const QString& key, const QString& def) const
{
    if (const Section* s = findSection(section)) {
        for (const Entry& e : s->entries) {
            if (!e.key.isEmpty() && sameName(e.key, key))
                return e.value;
        }
    }
    return def;
}

qint32 IniFileObj::readInteger(const QString& section, const QString& key, qint32 def) const
{
    qint32 value = 0;
    return parseIniInteger(readString(section, key), value) ? value : def;
}

bool IniFileObj::readBool(const QString& section, const QString& key, bool def) const
{
    return readInteger(section, key, def ? 1 : 0) != 0;
}

void IniFileObj::writeString(const QString& section, const QString& key, const QString& value)
{
    Section& s = sectionFor(section);
    for (Entry& e : s.entries) {
        if (!e.key.isEmpty() && sameName(e.key, key)) {
            if (e.value != value) {
                e.value = value;
                m_dirty = true;
            }
            return;
        }
    }
    s.entries.push_back({key, value});
    m_dirty = true;
}

void IniFileObj::writeInteger(const QString& section, const QString& key, qint32 value)
{
    writeString(section, key, QString::number(value));
}

void IniFileObj::writeBool(const QString& section, const QString& key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool IniFileObj::sectionExists(const QString& section) const
{
    return findSection(section) != nullptr;
}

bool IniFileObj::valueExists(const QString& section, const QString& key) const
{
    if (const Section* s = findSection(section)) {
        for (const Entry& e : s->entries) {
            if (!e.key.isEmpty() && sameName(e.key, key))
                return true;
        }
    }
    return false;
}

QStringList IniFileObj::sections() const
{
    QStringList out;
    for (const Section& s : m_sections) {
        if (!s.name.isEmpty())
            out.append(s.name);
    }
    return out;
}

QStringList IniFileObj::keys(const QString& section) const
{
    QStringList out;
    if (const Section* s = findSection(section)) {
        for (const Entry& e : s->entries) {
            if (!e.key.isEmpty())
                out.append(e.key);
        }
    }
    return out;
}

void IniFileObj::eraseSection(const QString& section)
{
    m_dirty |= std::erase_if(m_sections, [&](const Section& s) {
        return !s.name.isEmpty() && sameName(s.name, section);
    }) > 0;
}

void IniFileObj::deleteKey(const QString& section, const QString& key)
{
    if (const Section* found = findSection(section)) {
        auto& entries = const_cast<Section*>(found)->entries;
        m_dirty |= std::erase_if(entries, [&](const Entry& e) {
            return !e.key.isEmpty() && sameName(e.key, key);
        }) > 0;
    }
}

QStringList IniFileObj::lines() const
{
    QStringList out;
    bool afterSection = false;
    for (const Section& s : m_sections) {
        if (!s.name.isEmpty()) {
            if (afterSection)
                out.append(QString());
            afterSection = true;
            out.append(QLatin1Char('[') + s.name + QLatin1Char(']'));
        }
        for (const Entry& e : s.entries)
            out.append(e.key.isEmpty() ? e.value : e.key + QLatin1Char('=') + e.value);
    }
    return out;
}

QString IniFileObj::text() const
{
    QString out;
    for (const QString& line : lines())
        out += line + QStringLiteral("\r\n");
    return out;
}

bool IniFileObj::updateFile()
{
    m_error.clear();
    // Nothing changed since the file was read or written: leave it alone, so
    // an edit made by hand meanwhile is kept.
    if (!m_dirty && QFile::exists(m_fileName))
        return true;
    if (platform().isMarkedReadOnly(m_fileName)) {
        m_error = QStringLiteral("filen er skrivebeskyttet");
        return false;
    }
    // Each line is encoded on its own: a CR or LF inside a value (a
    // scrambled password) is written in its two-byte form, so only the
    // real line ends below split lines.
    QByteArray bytes;
    for (const QString& line : lines())
        bytes += encodeFileText(line) + "\r\n";
    QSaveFile file(m_fileName);
    const bool isNew = !QFile::exists(m_fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        m_error = file.errorString();
        return false;
    }
    if (isNew)
        QFile::setPermissions(m_fileName, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_dirty = false;
    return true;
}

} // namespace rt
