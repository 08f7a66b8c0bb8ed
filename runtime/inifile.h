// An INI settings file held wholly in memory: reads and writes work on
// memory, updateFile() writes the whole file back. Sections and keys are
// found through a hash index; the file's lines keep their order, and lines
// that were not changed are written back as they were read.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

namespace rt {

// Largest settings file read. Real files hold a few kilobytes; a larger one
// is not a settings file (or is meant to stall the program) and is left alone.
constexpr qint64 kMaxIniFileBytes = qint64(4) << 20;

class IniFile {
public:
    // Loads the file; a missing or unreadable file gives no sections. A file
    // larger than kMaxIniFileBytes is not read and is never written:
    // loadRefusal() says why, and updateFile() fails with that reason.
    explicit IniFile(QString fileName);
    // Builds from text, for files read elsewhere (lines end in LF or CR LF).
    IniFile(QString fileName, const QString& text);

    const QString& fileName() const { return m_fileName; }

    // Section and key names match without regard to case. A value reads
    // without the blanks (spaces, tabs) around it, and a value wrapped in a
    // pair of matching quotes reads as what lies inside them.
    QString readString(const QString& section, const QString& key, const QString& def = {}) const;
    qint32 readInteger(const QString& section, const QString& key, qint32 def = 0) const;
    bool readBool(const QString& section, const QString& key, bool def = false) const;
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, qint32 value);
    void writeBool(const QString& section, const QString& key, bool value);

    bool sectionExists(const QString& section) const;
    bool valueExists(const QString& section, const QString& key) const;
    QStringList sections() const;
    QStringList keys(const QString& section) const;
    void eraseSection(const QString& section);
    void deleteKey(const QString& section, const QString& key);

    // The file's lines, and its text as updateFile() writes it. A value with
    // blanks at either end, or wrapped in a pair of quotes, is written inside
    // double quotes so that it reads back unchanged.
    QStringList lines() const;
    QString text() const;
    // True when a value changed since the file was read or written.
    bool isModified() const { return m_dirty; }
    // Writes the whole file (when a value changed or the file is missing),
    // through a temporary file renamed over the old one. False, with
    // errorString() set, when the file is marked read-only, is a symbolic
    // link or no regular file, or cannot be written; memory keeps every
    // value either way.
    bool updateFile();
    const QString& errorString() const { return m_error; }
    // Why the file was not read; empty when it was (or is missing).
    const QString& loadRefusal() const { return m_refusal; }

private:
    // One line of the file. Lines the reader does not take as a key (blank
    // lines, comments, lines without a key) keep their text and are written
    // back exactly; a key line is rewritten only once its value changes.
    struct Line {
        QString raw;
        QString key;   // empty for a line kept as it stood
        QString value; // as read: surrounding blanks and quotes removed
        bool edited = false;
        bool erased = false;
    };
    // A section header and the lines under it, in file order. The lines
    // before the first header form a segment without a header.
    struct Segment {
        bool hasHeader = false;
        QString header; // the header line as read or made
        bool blankBefore = false;
        bool erased = false;
        std::vector<Line> lines;
    };
    struct KeyRef {
        size_t segment;
        size_t line;
    };
    // A section by its name folded to one case: the segments that carry it
    // (a name may occur more than once) and where each key's value lies.
    struct SectionIndex {
        QString name;
        std::vector<size_t> segments;
        QHash<QString, KeyRef> keys;
    };

    void parse(const QStringList& lines);
    const SectionIndex* findSection(const QString& name) const;
    SectionIndex& sectionFor(const QString& name);
    const Line* findLine(const QString& section, const QString& key) const;

    QString m_fileName;
    QString m_error;
    QString m_refusal;
    std::vector<Segment> m_segments;
    QHash<QString, SectionIndex> m_index;
    QStringList m_sectionOrder; // folded names, in the order the sections first appear
    bool m_dirty = false;
};

// A whole number as the settings file reads it: optional blanks around an
// optional sign and decimal digits, within 32 bits; anything else is nothing.
bool parseIniInteger(const QString& text, qint32& out);

} // namespace rt
