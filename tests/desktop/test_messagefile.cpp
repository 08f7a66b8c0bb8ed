// The file an opened message is handed to the mail program in.
#include "messagefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

TEST(MessageFile, WritesTheBytesAsTempEmlForTheUserAlone)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.path();
    const QString expected = folder + QStringLiteral("/temp.eml");
    // A message as the server gave it: CRLF lines, 8-bit text, a NUL.
    const QByteArray message = QByteArray("From: kari@test.example\r\nSubject: =?utf-8?q?bl=C3=A5b=C3=A6r?=\r\n\r\nbl\xc3\xa5")
        + QByteArray(1, '\0') + QByteArray("b\r\n");
    const struct {
        const char* name;
        QString folder;
        QByteArray bytes;
    } cases[] = {
        {"folder ending in /", folder + QLatin1Char('/'), message},
        {"folder without /", folder, message},
        {"a shorter message replaces the longer one", folder, QByteArray("From: b\r\n\r\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const desktop::MessageFile file = desktop::writeMessageFile(c.folder, c.bytes);
        EXPECT_TRUE(file.written()) << file.error.toStdString();
        EXPECT_EQ(file.path, expected);
        EXPECT_EQ(contentOf(expected), c.bytes);
        EXPECT_EQ(QFileInfo(expected).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup
                                                       | QFile::WriteOther),
                  QFile::Permissions()) << "others can read the message";
    }
}

TEST(MessageFile, TellsWhyItCouldNotWriteAndNeverWritesThroughALink)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString elsewhere = dir.filePath(QStringLiteral("annen-fil"));
    {
        QFile f(elsewhere);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("uendret");
    }
    const QString linked = dir.filePath(QStringLiteral("lenke"));
    const QString blocked = dir.filePath(QStringLiteral("mappe"));
    ASSERT_TRUE(QDir().mkpath(linked) && QDir().mkpath(blocked + QStringLiteral("/temp.eml/innhold")));
    ASSERT_TRUE(QFile::link(elsewhere, linked + QStringLiteral("/temp.eml")));
    const struct {
        const char* name;
        QString folder;
    } cases[] = {
        {"temp.eml is a link", linked},
        {"temp.eml is a folder", blocked},
        {"the folder is missing", dir.filePath(QStringLiteral("finnes/ikke"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const desktop::MessageFile file = desktop::writeMessageFile(c.folder, "From: server\r\n\r\n");
        EXPECT_FALSE(file.written());
        EXPECT_EQ(file.path, c.folder + QStringLiteral("/temp.eml"));
        const QString lead = QStringLiteral("Kan ikke lagre meldingen i %1: ").arg(file.path);
        EXPECT_TRUE(file.error.startsWith(lead)) << file.error.toStdString();
        EXPECT_GT(file.error.size(), lead.size()) << "the reason is missing";
    }
    EXPECT_EQ(contentOf(elsewhere), QByteArray("uendret")) << "written through the link";
}
