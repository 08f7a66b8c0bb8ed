// An INI settings file held wholly in memory: reads and writes work on
// memory, updateFile() writes the whole file back.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace rt {

class IniFileObj {
public:
    // Loads the file; a missing or unreadable file gives no sections.
    explicit IniFileObj(QString fileName);
    // Builds from text, for files read elsewhere.
    IniFileObj(QString fileName, const QString& text);

    const QString& fileName() const { return m_fileName; }

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

    // The file's lines, and its text as updateFile() writes it.
    QStringList lines() const;
    QString text() const;
    // True when a value changed since the file was read or written.
    bool isModified() const { return m_dirty; }
    // Writes the whole file (when a value changed or the file is missing),
    // through a temporary file renamed over the old
    // one. False, with errorString() set, when the file is marked read-only
    // or cannot be written; memory keeps every value either way.
    bool updateFile();
    const QString& errorString() const { return m_error; }

private:
    struct Entry {
        QString key;   // empty for a line kept as it stood (a comment)
        QString value;
    };
    struct Section {
        QString name;
        std::vector<Entry> entries;
    };

    void parse(const QStringList& lines);
    const Section* findSection(const QString& name) const;
    Section& sectionFor(const QString& name);

    QString m_fileName;
    QString m_error;
    std::vector<Section> m_sections;
    bool m_dirty = false;
};

// A whole number as the settings file reads it: optional blanks around an
// optional sign and decimal digits, within 32 bits; anything else is nothing.
bool parseIniInteger(const QString& text, qint32& out);

} // namespace rt
