#include "inifile.h"

#include "platform.h"
#include "safefile.h"
#include "textcodec.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace rt {

namespace {

QString fold(const QString& name)
{
    return name.toCaseFolded();
}

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

bool isQuote(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('\'');
}

// Spaces and tabs only: a CR or other control character at the end of a
// value belongs to the value.
QString trimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

bool quoted(const QString& text)
{
    return text.size() >= 2 && isQuote(text.front()) && text.front() == text.back();
}

// A value as the file holds it → the value the program sees.
QString valueFromFile(const QString& stored)
{
    QString value = trimBlanks(stored);
    if (quoted(value))
        value = value.mid(1, value.size() - 2);
    return value;
}

// The value the program wrote → the text that reads back as it.
QString valueForFile(const QString& value)
{
    const bool blankEdge = !value.isEmpty() && (isBlank(value.front()) || isBlank(value.back()));
    if (blankEdge || quoted(value))
        return QLatin1Char('"') + value + QLatin1Char('"');
    return value;
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

IniFile::IniFile(QString fileName)
    : m_fileName(std::move(fileName))
{
    // isFile() also keeps a planted pipe or device from being opened.
    QFile f(m_fileName);
    if (!QFileInfo(m_fileName).isFile() || !f.open(QIODevice::ReadOnly))
        return;
    // Read one byte beyond the limit, so a file that grows meanwhile is
    // caught too.
    const QByteArray bytes = f.read(kMaxIniFileBytes + 1);
    if (bytes.size() > kMaxIniFileBytes) {
        m_refusal = QStringLiteral("filen er større enn %1 MiB, som er grensen for en innstillingsfil")
                        .arg(kMaxIniFileBytes >> 20);
        return;
    }
    parse(decodeFileLines(bytes));
}

IniFile::IniFile(QString fileName, const QString& text)
    : m_fileName(std::move(fileName))
{
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    parse(lines);
}

void IniFile::parse(const QStringList& lines)
{
    m_segments.push_back(Segment{});
    // The section being read; the index moves only when a header adds a
    // section, and the pointer is taken again right then.
    SectionIndex* current = nullptr;
    for (const QString& line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('[')) && trimmed.endsWith(QLatin1Char(']'))) {
            const QString name = trimmed.mid(1, trimmed.size() - 2).trimmed();
            current = &sectionFor(name);
            current->segments.push_back(m_segments.size());
            m_segments.push_back(Segment{true, line, false, false, {}});
            continue;
        }
        Segment& segment = m_segments.back();
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const bool comment = trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'));
        const QString key = eq > 0 ? line.left(eq).trimmed() : QString();
        // Outside a section, and for anything that is not "key=value", the
        // line is kept as it stands.
        if (!segment.hasHeader || comment || key.isEmpty()) {
            segment.lines.push_back(Line{line, {}, {}, false, false});
            continue;
        }
        segment.lines.push_back(Line{line, key, valueFromFile(line.mid(eq + 1)), false, false});
        // The last of repeated keys holds the value; the earlier lines stay.
        current->keys.insert(fold(key), KeyRef{m_segments.size() - 1, segment.lines.size() - 1});
    }
}

const IniFile::SectionIndex* IniFile::findSection(const QString& name) const
{
    const auto it = m_index.constFind(fold(name));
    return it == m_index.cend() ? nullptr : &it.value();
}

IniFile::SectionIndex& IniFile::sectionFor(const QString& name)
{
    const QString folded = fold(name);
    auto it = m_index.find(folded);
    if (it == m_index.end()) {
        it = m_index.insert(folded, SectionIndex{name, {}, {}});
        m_sectionOrder.append(folded);
    }
    return it.value();
}

const IniFile::Line* IniFile::findLine(const QString& section, const QString& key) const
{
    const SectionIndex* s = findSection(section);
    if (!s)
        return nullptr;
    const auto it = s->keys.constFind(fold(key));
    if (it == s->keys.cend())
        return nullptr;
    return &m_segments[it->segment].lines[it->line];
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def) const
{
    const Line* line = findLine(section, key);
    return line ? line->value : def;
}

qint32 IniFile::readInteger(const QString& section, const QString& key, qint32 def) const
{
    qint32 value = 0;
    return parseIniInteger(readString(section, key), value) ? value : def;
}

bool IniFile::readBool(const QString& section, const QString& key, bool def) const
{
    return readInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::writeString(const QString& section, const QString& key, const QString& value)
{
    if (const Line* found = findLine(section, key)) {
        if (found->value != value) {
            Line& line = const_cast<Line&>(*found);
            line.value = value;
            line.edited = true;
            m_dirty = true;
        }
        return;
    }
    if (m_segments.empty())
        m_segments.push_back(Segment{});
    SectionIndex& index = sectionFor(section);
    if (index.segments.empty()) {
        const bool blankBefore = std::any_of(m_segments.begin(), m_segments.end(), [](const Segment& s) {
            return !s.erased && (s.hasHeader || !s.lines.empty());
        });
        index.segments.push_back(m_segments.size());
        m_segments.push_back(Segment{true, QLatin1Char('[') + section + QLatin1Char(']'), blankBefore, false, {}});
    }
    // A new key goes after the section's last line that is not blank, so
    // the blank lines that part it from the next section stay below it.
    const size_t segmentNo = index.segments.back();
    std::vector<Line>& lines = m_segments[segmentNo].lines;
    size_t at = lines.size();
    while (at > 0 && !lines[at - 1].erased && lines[at - 1].key.isEmpty() && lines[at - 1].raw.trimmed().isEmpty())
        --at;
    lines.insert(lines.begin() + qsizetype(at), Line{QString(), key, value, true, false});
    index.keys.insert(fold(key), KeyRef{segmentNo, at});
    m_dirty = true;
}

void IniFile::writeInteger(const QString& section, const QString& key, qint32 value)
{
    writeString(section, key, QString::number(value));
}

void IniFile::writeBool(const QString& section, const QString& key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool IniFile::sectionExists(const QString& section) const
{
    return findSection(section) != nullptr;
}

bool IniFile::valueExists(const QString& section, const QString& key) const
{
    return findLine(section, key) != nullptr;
}

QStringList IniFile::sections() const
{
    QStringList out;
    for (const QString& folded : m_sectionOrder)
        out.append(m_index.value(folded).name);
    return out;
}

QStringList IniFile::keys(const QString& section) const
{
    QStringList out;
    const SectionIndex* s = findSection(section);
    if (!s)
        return out;
    QSet<QString> seen;
    for (const size_t segmentNo : s->segments) {
        for (const Line& line : m_segments[segmentNo].lines) {
            if (!line.erased && !line.key.isEmpty() && !seen.contains(fold(line.key))) {
                seen.insert(fold(line.key));
                out.append(line.key);
            }
        }
    }
    return out;
}

void IniFile::eraseSection(const QString& section)
{
    const QString folded = fold(section);
    const auto it = m_index.find(folded);
    if (it == m_index.end())
        return;
    for (const size_t segmentNo : it->segments)
        m_segments[segmentNo].erased = true;
    m_index.erase(it);
    m_sectionOrder.removeOne(folded);
    m_dirty = true;
}

void IniFile::deleteKey(const QString& section, const QString& key)
{
    const auto it = m_index.find(fold(section));
    if (it == m_index.end() || !it->keys.contains(fold(key)))
        return;
    // Every line of the key goes, so that an earlier repeat does not come back.
    const QString foldedKey = fold(key);
    for (const size_t segmentNo : it->segments) {
        for (Line& line : m_segments[segmentNo].lines) {
            if (!line.key.isEmpty() && fold(line.key) == foldedKey)
                line.erased = true;
        }
    }
    it->keys.remove(foldedKey);
    m_dirty = true;
}

QStringList IniFile::lines() const
{
    QStringList out;
    for (const Segment& segment : m_segments) {
        if (segment.erased)
            continue;
        if (segment.blankBefore && !out.isEmpty() && !out.last().trimmed().isEmpty())
            out.append(QString());
        if (segment.hasHeader)
            out.append(segment.header);
        for (const Line& line : segment.lines) {
            if (line.erased)
                continue;
            out.append(line.edited ? line.key + QLatin1Char('=') + valueForFile(line.value) : line.raw);
        }
    }
    return out;
}

QString IniFile::text() const
{
    QString out;
    for (const QString& line : lines())
        out += line + QStringLiteral("\r\n");
    return out;
}

bool IniFile::updateFile()
{
    m_error = m_refusal;
    if (!m_refusal.isEmpty())
        return false;
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
    const FileWriteResult written = writeFileAtomically(m_fileName, bytes, FileMode::KeepExisting);
    if (!written.ok()) {
        m_error = written.reason;
        return false;
    }
    m_dirty = false;
    return true;
}

} // namespace rt
